// Feishu's custom bot: {"msg_type":"text","content":{"text":…}}; signed with "timestamp" (seconds, a string)
// and "sign" in the body, where sign is the Base64 of HMAC-SHA256 keyed by "timestamp\nsecret" over nothing.
#include <QJsonDocument>
#include <QJsonObject>

#include "channels/robot.h"

namespace {

RobotRequest Request(const RobotConfig& config, const std::string& text,
                     std::chrono::system_clock::time_point now) {
    QJsonObject json{{"msg_type", "text"}, {"content", QJsonObject{{"text", QString::fromStdString(text)}}}};
    if (!config.secret.empty()) {
        const std::string timestamp =
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
        json.insert("timestamp", QString::fromStdString(timestamp));
        json.insert("sign", QString::fromStdString(HmacSha256Base64(timestamp + "\n" + config.secret, "")));
    }
    return {config.webhook, QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString()};
}

// {"code":0,"msg":"success"}; older bots answer {"StatusCode":0,"StatusMessage":"success"}.
std::string Refusal(const std::string& reply) {
    const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(reply)).object();
    const bool coded = json.contains("code");
    if (!coded && !json.contains("StatusCode")) return "an answer that is not Feishu's";
    const int code = json.value(coded ? "code" : "StatusCode").toInt(-1);
    if (code == 0) return {};
    const std::string message = json.value(coded ? "msg" : "StatusMessage").toString().toStdString();
    return PeerText(message) + " (code " + std::to_string(code) + ")";
}

}  // namespace

const RobotPlatform& FeishuPlatform() {
    // A request body of at most 20 KB; 100 messages a minute and 5 a second a bot.
    static const RobotPlatform platform{"feishu", 18'000, 100, &Request, &Refusal};
    return platform;
}

std::unique_ptr<Channel> MakeFeishu(const RobotConfig& config) {
    return MakeRobot(FeishuPlatform(), config);
}
