// E-mail through libcurl's SMTP: a UTF-8 plain-text message with an RFC 2047 subject. A password goes only
// over TLS: smtps://, or smtp:// upgraded with STARTTLS, which is then required; plain only to a loopback
// address.
#include "lazycurl/lazy_curl.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <random>

#include <QByteArray>
#include <QUrl>

#include "channels/channel.h"
#include "channels/robot.h"

namespace {

std::string Base64(const std::string& bytes) {
    return QByteArray::fromStdString(bytes).toBase64().toStdString();
}

// "=?UTF-8?B?…?=" words of at most 75 characters, each of whole characters, folded onto lines of their own.
std::string EncodedSubject(const std::string& subject) {
    std::string encoded;
    std::size_t start = 0;
    while (start < subject.size()) {
        std::size_t end = std::min(subject.size(), start + 45);  // 45 bytes are 60 in Base64
        while (end < subject.size() && (static_cast<unsigned char>(subject[end]) & 0xC0) == 0x80) --end;
        encoded += (encoded.empty() ? "" : "\r\n ") + std::string("=?UTF-8?B?") +
                   Base64(subject.substr(start, end - start)) + "?=";
        start = end;
    }
    return encoded;
}

std::string MailDate(std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[64];
    // RFC 5322 names the days and months in English, whatever the locale.
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const long offset = local.tm_gmtoff / 60;
    std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", days[local.tm_wday],
                  local.tm_mday, months[local.tm_mon], local.tm_year + 1900, local.tm_hour, local.tm_min,
                  local.tm_sec, offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
    return buffer;
}

std::string MailMessage(const EmailConfig& config, const ChannelMessage& message) {
    std::string to;
    for (const std::string& address : config.to) to += (to.empty() ? "" : ", ") + address;
    const std::string domain = config.from.substr(config.from.find('@') + 1);
    std::string text = "Date: " + MailDate(std::time(nullptr)) + "\r\nFrom: " + config.from +
                       "\r\nTo: " + to + "\r\nSubject: " + EncodedSubject(message.title) +
                       "\r\nMessage-ID: <" + std::to_string(std::random_device{}()) + "." +
                       std::to_string(std::time(nullptr)) + ".tessiv@" + domain +
                       ">\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                       "Content-Transfer-Encoding: base64\r\n\r\n";
    const std::string body = Base64(message.title + "\n" + message.body);
    for (std::size_t at = 0; at < body.size(); at += 76) text += body.substr(at, 76) + "\r\n";
    return text;
}

std::size_t Upload(char* buffer, std::size_t size, std::size_t count, void* data) {
    Transfer& transfer = *static_cast<Transfer*>(data);
    const std::size_t n = std::min(size * count, transfer.body.size() - transfer.bodyRead);
    std::memcpy(buffer, transfer.body.data() + transfer.bodyRead, n);
    transfer.bodyRead += n;
    return n;
}

// The server's reply lines come to the debug function as incoming headers; the last one is kept.
int Debug(CURL*, curl_infotype type, char* data, std::size_t size, void* transfer) {
    if (type != CURLINFO_HEADER_IN) return 0;
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // The first refusal (4xx, 5xx) is the one that says why; what follows it is the goodbye.
    std::string& kept = static_cast<Transfer*>(transfer)->lastServerLine;
    if (!line.empty() && !(kept.starts_with('4') || kept.starts_with('5'))) kept = PeerText(line);
    return 0;
}

bool Loopback(const std::string& smtp) {
    const QString host = QUrl(QString::fromStdString(smtp)).host();
    return host == QStringLiteral("localhost") || host.startsWith(QStringLiteral("127.")) ||
           host == QStringLiteral("::1");
}

class Email final : public Channel {
public:
    explicit Email(EmailConfig config) : m_config(std::move(config)) {}

    std::string Name() const override { return "email"; }
    std::string Shown() const override { return m_config.smtp; }
    std::size_t MaxTextBytes() const override { return 1'000'000; }
    int PerMinute() const override { return 10; }

    bool Prepare(void* easy, const ChannelMessage& message, Transfer& transfer) const override {
        CURL* handle = static_cast<CURL*>(easy);
        transfer.url = m_config.smtp;
        transfer.body = MailMessage(m_config, message);
        curl_slist* recipients = nullptr;
        for (const std::string& address : m_config.to) {
            curl_slist* more = lazycurl::slist_append(recipients, ("<" + address + ">").c_str());
            if (more == nullptr) break;
            recipients = more;
        }
        transfer.recipients = recipients;
        const std::string from = "<" + m_config.from + ">";
        const bool tls = !m_config.password.empty() && !Loopback(m_config.smtp);
        bool ok = recipients != nullptr &&
                  lazycurl::easy_setopt(handle, CURLOPT_URL, transfer.url.c_str()) == CURLE_OK &&
                  lazycurl::easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "smtp,smtps") == CURLE_OK &&
                  lazycurl::easy_setopt(handle, CURLOPT_MAIL_FROM, from.c_str()) == CURLE_OK &&
                  lazycurl::easy_setopt(handle, CURLOPT_MAIL_RCPT, recipients) == CURLE_OK &&
                  lazycurl::easy_setopt(handle, CURLOPT_USE_SSL, tls ? CURLUSESSL_ALL : CURLUSESSL_TRY) ==
                      CURLE_OK &&
                  lazycurl::easy_setopt(handle, CURLOPT_UPLOAD, 1L) == CURLE_OK &&
                  lazycurl::easy_setopt(handle, CURLOPT_READFUNCTION, &Upload) == CURLE_OK &&
                  lazycurl::easy_setopt(handle, CURLOPT_READDATA, &transfer) == CURLE_OK &&
                  lazycurl::easy_setopt(handle, CURLOPT_DEBUGFUNCTION, &Debug) == CURLE_OK &&
                  lazycurl::easy_setopt(handle, CURLOPT_DEBUGDATA, &transfer) == CURLE_OK &&
                  lazycurl::easy_setopt(handle, CURLOPT_VERBOSE, 1L) == CURLE_OK;
        if (ok && !m_config.user.empty())
            ok = lazycurl::easy_setopt(handle, CURLOPT_USERNAME, m_config.user.c_str()) == CURLE_OK &&
                 lazycurl::easy_setopt(handle, CURLOPT_PASSWORD, m_config.password.c_str()) == CURLE_OK;
        return ok;
    }

    Attempt Judge(void* easy, int curlCode, const Transfer& transfer) const override {
        if (curlCode == CURLE_OK) return {Attempt::Outcome::Sent, {}};
        static_cast<void>(easy);
        const bool refusedHere = transfer.lastServerLine.starts_with('5');
        std::string reason = lazycurl::easy_strerror(static_cast<CURLcode>(curlCode));
        if (!transfer.lastServerLine.empty()) reason += " (server: " + transfer.lastServerLine + ")";
        // A permanent SMTP refusal, a refused login or a server without STARTTLS: trying again changes
        // nothing.
        const bool permanent =
            refusedHere || curlCode == CURLE_LOGIN_DENIED || curlCode == CURLE_USE_SSL_FAILED;
        return {permanent ? Attempt::Outcome::Refused : Attempt::Outcome::Retry, reason};
    }

private:
    EmailConfig m_config;
};

}  // namespace

std::unique_ptr<Channel> MakeEmail(const EmailConfig& config) {
    return std::make_unique<Email>(config);
}
