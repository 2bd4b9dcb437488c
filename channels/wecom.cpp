// WeCom's group robot: {"msgtype":"text","text":{"content":…}} to the webhook with its key; no signature.
#include <QJsonDocument>
#include <QJsonObject>

#include "channels/robot.h"

namespace {

RobotRequest Request(const RobotConfig& config, const std::string& text,
                     std::chrono::system_clock::time_point) {
    const QJsonObject json{{"msgtype", "text"},
                           {"text", QJsonObject{{"content", QString::fromStdString(text)}}}};
    return {config.webhook, QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString()};
}

}  // namespace

const RobotPlatform& WeComPlatform() {
    // 2 048 bytes a text, 20 messages a minute a robot.
    static const RobotPlatform platform{"wecom", 2'048, 20, &Request, &ErrcodeRefusal};
    return platform;
}

std::unique_ptr<Channel> MakeWeCom(const RobotConfig& config) {
    return MakeRobot(WeComPlatform(), config);
}
