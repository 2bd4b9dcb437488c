// DingTalk's custom robot: {"msgtype":"text","text":{"content":…}}; signed with `timestamp` (ms) and `sign`
// (HMAC-SHA256 of "timestamp\nsecret" keyed by the secret, Base64, URL-encoded) in the query.
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include "channels/robot.h"

namespace {

RobotRequest Request(const RobotConfig& config, const std::string& text,
                     std::chrono::system_clock::time_point now) {
    const QJsonObject json{{"msgtype", "text"},
                           {"text", QJsonObject{{"content", QString::fromStdString(text)}}}};
    RobotRequest request{config.webhook, QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString()};
    if (!config.secret.empty()) {
        const std::string timestamp = std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
        const std::string sign = HmacSha256Base64(config.secret, timestamp + "\n" + config.secret);
        request.url += (request.url.find('?') == std::string::npos ? "?" : "&");
        request.url += "timestamp=" + timestamp +
                       "&sign=" + QUrl::toPercentEncoding(QString::fromStdString(sign)).toStdString();
    }
    return request;
}

}  // namespace

const RobotPlatform& DingTalkPlatform() {
    // 20 000 bytes a text, 20 messages a minute a robot.
    static const RobotPlatform platform{"dingtalk", 18'000, 20, &Request, &ErrcodeRefusal};
    return platform;
}

std::unique_ptr<Channel> MakeDingTalk(const RobotConfig& config) {
    return MakeRobot(DingTalkPlatform(), config);
}
