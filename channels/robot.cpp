#include "channels/robot.h"

#include "lazycurl/lazy_curl.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QUrl>
#include <QUrlQuery>

namespace {

constexpr std::size_t kPeerTextMax = 200;

class Robot final : public Channel {
public:
    Robot(const RobotPlatform& platform, RobotConfig config)
        : m_platform(platform), m_config(std::move(config)), m_shown(ShownRobotUrl(m_config.webhook)) {}

    std::string Name() const override { return m_platform.name; }
    std::string Shown() const override { return m_shown; }
    std::size_t MaxTextBytes() const override { return m_platform.maxTextBytes; }
    int PerMinute() const override { return m_platform.perMinute; }

    bool Prepare(void* easy, const ChannelMessage& message, Transfer& transfer) const override {
        RobotRequest request = m_platform.request(m_config, MessageText(message, MaxTextBytes()),
                                                  std::chrono::system_clock::now());
        transfer.url = std::move(request.url);
        transfer.body = std::move(request.body);
        transfer.headers = lazycurl::slist_append(nullptr, "Content-Type: application/json; charset=utf-8");
        CURL* handle = static_cast<CURL*>(easy);
        return transfer.headers != nullptr &&
               lazycurl::easy_setopt(handle, CURLOPT_URL, transfer.url.c_str()) == CURLE_OK &&
               lazycurl::easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
               lazycurl::easy_setopt(handle, CURLOPT_HTTPHEADER, transfer.headers) == CURLE_OK &&
               lazycurl::easy_setopt(handle, CURLOPT_POSTFIELDSIZE,
                                     static_cast<long>(transfer.body.size())) == CURLE_OK &&
               lazycurl::easy_setopt(handle, CURLOPT_POSTFIELDS, transfer.body.c_str()) == CURLE_OK;
    }

    Attempt Judge(void* easy, int curlCode, const Transfer& transfer) const override {
        if (curlCode != CURLE_OK)
            return {Attempt::Outcome::Retry, lazycurl::easy_strerror(static_cast<CURLcode>(curlCode))};
        long status = 0;
        lazycurl::easy_getinfo(static_cast<CURL*>(easy), CURLINFO_RESPONSE_CODE, &status);
        const std::string statusText = "HTTP status " + std::to_string(status);
        if (status >= 500 || status == 429) return {Attempt::Outcome::Retry, statusText};
        if (status < 200 || status > 299) return {Attempt::Outcome::Refused, statusText};
        std::string refusal = m_platform.refusal(transfer.reply);
        if (refusal.empty()) return {Attempt::Outcome::Sent, {}};
        return {Attempt::Outcome::Refused, std::move(refusal)};
    }

private:
    const RobotPlatform& m_platform;
    RobotConfig m_config;
    std::string m_shown;
};

}  // namespace

std::unique_ptr<Channel> MakeRobot(const RobotPlatform& platform, const RobotConfig& config) {
    return std::make_unique<Robot>(platform, config);
}

std::string ShownRobotUrl(const std::string& text) {
    QUrl url(QString::fromStdString(text));
    url.setUserInfo({});
    QUrlQuery query(url);
    QList<QPair<QString, QString>> items = query.queryItems();
    for (auto& item : items) item.second = QStringLiteral("…");
    query.setQueryItems(items);
    url.setQuery(query);
    QString path = url.path();
    if (const qsizetype hook = path.indexOf(QStringLiteral("/hook/")); hook >= 0)
        path = path.left(hook + 6) + QStringLiteral("…");
    url.setPath(path);
    return url.toDisplayString().toStdString();
}

std::string HmacSha256Base64(const std::string& key, const std::string& message) {
    return QMessageAuthenticationCode::hash(QByteArray::fromStdString(message),
                                            QByteArray::fromStdString(key), QCryptographicHash::Sha256)
        .toBase64()
        .toStdString();
}

std::string PeerText(const std::string& text) {
    std::string line;
    for (const unsigned char c : text.substr(0, kPeerTextMax))
        line += (c < 0x20 || c == 0x7f) ? ' ' : static_cast<char>(c);
    // A cut may have split a character: let Qt drop the broken end.
    return QString::fromUtf8(line).toStdString();
}

std::string ErrcodeRefusal(const std::string& reply) {
    const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(reply)).object();
    if (!json.contains("errcode")) return "an answer without errcode";
    const int code = json.value("errcode").toInt(-1);
    if (code == 0) return {};
    return PeerText(json.value("errmsg").toString().toStdString()) + " (errcode " + std::to_string(code) +
           ")";
}
