// The tessiv.conf parser over arbitrary text: what it turns on is always within its bounds, a problem is
// one line of plain text, and a byte-order mark changes nothing.

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <QString>
#include <QUrl>

#include "app/tessiv_conf.h"
#include "fuzz_support.h"

namespace {

bool IsUtf8(std::string_view text) {
    return QString::fromUtf8(text).toUtf8().toStdString() == text;
}

bool SameResult(const TessivConf& a, const TessivConf& b) {
    return a.integrations.hookCommand == b.integrations.hookCommand &&
           a.integrations.webhook == b.integrations.webhook &&
           a.integrations.metrics == b.integrations.metrics && a.history.enabled == b.history.enabled &&
           a.history.keepDays == b.history.keepDays && a.alarm.confirmRounds == b.alarm.confirmRounds &&
           a.alarm.quietHours == b.alarm.quietHours && a.alarm.escalateMinutes == b.alarm.escalateMinutes &&
           a.problems == b.problems;
}

bool Off(const TessivConf& config) {
    return !config.integrations.hookCommand && !config.integrations.webhook && !config.integrations.metrics;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const TessivConf config = ParseTessivConf(text);

    // A handful of lines whatever the file, each fit for the run pane and the journal.
    FUZZ_CHECK(config.problems.size() <= kConfigProblemsShown + 1);
    for (const std::string& problem : config.problems) {
        FUZZ_CHECK(!problem.empty());
        for (const char c : problem) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    }

    std::string_view body = text;
    if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
    if (!IsUtf8(body)) {
        FUZZ_CHECK(config.problems.size() == 1);
        FUZZ_CHECK(Off(config));
    }

    if (config.integrations.hookCommand) {
        FUZZ_CHECK(!config.integrations.hookCommand->empty());
        FUZZ_CHECK(!config.integrations.hookCommand->front().empty());
    }
    if (config.integrations.webhook) {
        const QUrl url(QString::fromStdString(config.integrations.webhook->url), QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        FUZZ_CHECK(url.isValid() && !url.host().isEmpty() && (scheme == "http" || scheme == "https"));
    }
    if (config.integrations.metrics) {
        FUZZ_CHECK(config.integrations.metrics->port >= 1 && config.integrations.metrics->port <= 65535);
        in_addr v4{};
        FUZZ_CHECK(inet_pton(AF_INET, config.integrations.metrics->host.c_str(), &v4) == 1);
        FUZZ_CHECK(config.integrations.metrics->loopback == ((ntohl(v4.s_addr) >> 24) == 127));
        // What the endpoint is told reads back as the same address.
        const ParsedListenAddress again = ParseListenAddress(config.integrations.metrics->Text());
        FUZZ_CHECK(again.address == config.integrations.metrics);
    }
    FUZZ_CHECK(config.history.keepDays >= 1 && config.history.keepDays <= 3650);
    FUZZ_CHECK(config.alarm.confirmRounds >= 1 && config.alarm.confirmRounds <= 10);
    if (config.alarm.quietHours) {
        const auto [start, end] = *config.alarm.quietHours;
        FUZZ_CHECK(start >= 0 && start < 24 * 60 && end >= 0 && end < 24 * 60 && start != end);
    }
    if (config.alarm.escalateMinutes)
        FUZZ_CHECK(*config.alarm.escalateMinutes >= 1 && *config.alarm.escalateMinutes <= 1440);

    // A byte-order mark in front is read past; the same text gives the same result every time.
    if (!text.starts_with("\xEF\xBB\xBF"))
        FUZZ_CHECK(SameResult(ParseTessivConf("\xEF\xBB\xBF" + text), config));
    FUZZ_CHECK(SameResult(ParseTessivConf(text), config));
    return 0;
}
