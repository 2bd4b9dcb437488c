#include "channels/channels_config.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include <QString>
#include <QUrl>

#include "fileio/regular_file.h"

namespace {

constexpr std::size_t kPasswordMaxBytes = 4096;

bool WebUrl(const std::string& text) {
    const QUrl url(QString::fromUtf8(text), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() && (scheme == "http" || scheme == "https");
}

bool PlainSecret(const std::string& secret) {
    if (secret.empty()) return false;
    for (const unsigned char c : secret)
        if (c <= 0x20 || c == 0x7f) return false;
    return true;
}

std::optional<RobotConfig> ReadRobot(const ConfigSection& section, bool signs) {
    if (!section.Given() || section.Broken()) return std::nullopt;
    const auto webhook = section.Value("webhook");
    if (!webhook) {
        section.BadValue("webhook", "missing");
        return std::nullopt;
    }
    if (!WebUrl(*webhook)) {
        // The URL holds the robot's token: it is not quoted.
        section.BadValue("webhook", "not an http or https URL");
        return std::nullopt;
    }
    RobotConfig robot{*webhook, {}};
    if (signs) {
        if (auto secret = section.Value("secret")) {
            if (!PlainSecret(*secret)) {
                section.BadValue("secret", "empty or with blanks or control characters");
                return std::nullopt;
            }
            robot.secret = *secret;
        }
    }
    return robot;
}

// The password's first line; a problem in words, or empty.
std::string ReadPassword(const std::string& path, std::string& password) {
    const RegularFile file = OpenRegularFile(path, O_RDONLY);
    if (file.notRegular) return std::string("is ") + FileKind(file.info.st_mode) + ", not a regular file";
    if (!file) return "cannot be read (" + std::string(std::strerror(file.error)) + ")";
    if ((file.info.st_mode & (S_IRGRP | S_IROTH)) != 0)
        return "can be read by other users of this machine; chmod 600 it";
    std::string content;
    if (!ReadAll(file.fd.get(), content, kPasswordMaxBytes)) return "cannot be read, or is too large";
    password = content.substr(0, content.find_first_of("\r\n"));
    if (password.empty()) return "holds no password";
    return {};
}

std::vector<std::string> SplitAddresses(const std::string& list) {
    std::vector<std::string> addresses;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        addresses.push_back(TrimConfigText(std::string_view(list).substr(start, comma - start)));
        start = comma + 1;
    }
    return addresses;
}

std::optional<EmailConfig> ReadEmail(const ConfigSection& section) {
    if (!section.Given() || section.Broken()) return std::nullopt;
    EmailConfig email;
    const auto smtp = section.Value("smtp");
    const QUrl url(QString::fromUtf8(smtp.value_or("")), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!smtp || !url.isValid() || url.host().isEmpty() || (scheme != "smtp" && scheme != "smtps") ||
        !url.userInfo().isEmpty()) {
        section.BadValue("smtp", "not an smtps://HOST or smtp://HOST URL without user or password");
        return std::nullopt;
    }
    email.smtp = *smtp;
    const auto from = section.Value("from");
    if (!from || !PlainMailAddress(*from)) {
        section.BadValue("from", "not one plain e-mail address");
        return std::nullopt;
    }
    email.from = *from;
    const auto to = section.Value("to");
    if (to) email.to = SplitAddresses(*to);
    if (!to || email.to.empty() || !std::ranges::all_of(email.to, PlainMailAddress)) {
        section.BadValue("to", "not a comma-separated list of plain e-mail addresses");
        return std::nullopt;
    }
    email.user = section.Value("user").value_or("");
    if (auto file = section.Value("password_file")) {
        if (email.user.empty()) {
            section.BadValue("password_file", "given without \"user\"");
            return std::nullopt;
        }
        if (const std::string problem = ReadPassword(*file, email.password); !problem.empty()) {
            section.BadValue("password_file", ShownConfigText(*file) + " " + problem);
            return std::nullopt;
        }
    }
    return email;
}

void WarnIfOthersRead(const std::filesystem::path& dir, const ChannelsConfig& config, ConfigSection section) {
    const bool secrets = config.dingtalk || config.wecom || config.feishu || config.email;
    if (dir.empty() || !secrets) return;
    struct stat info {};
    if (::stat((dir / kConfigFileName).c_str(), &info) != 0 || (info.st_mode & S_IROTH) == 0) return;
    section.Problem(
        "tessiv.conf: other users of this machine can read it, and with it the channels' tokens "
        "and secrets; chmod 600 it");
}

}  // namespace

bool PlainMailAddress(const std::string& address) {
    const std::size_t at = address.find('@');
    if (at == std::string::npos || at == 0 || at + 1 >= address.size()) return false;
    for (const unsigned char c : address)
        if (c <= 0x20 || c == 0x7f || std::strchr("<>,;:\"()[]\\", c) != nullptr) return false;
    return true;
}

std::vector<ConfigSectionRule> ChannelsSections() {
    return {
        {"dingtalk", {"webhook", "secret"}, "DingTalk stays off"},
        {"wecom", {"webhook"}, "WeCom stays off"},
        {"feishu", {"webhook", "secret"}, "Feishu stays off"},
        {"email", {"smtp", "from", "to", "user", "password_file"}, "e-mail stays off"},
    };
}

ChannelsConfig ReadChannelsConfig(ConfigFile& file, const std::filesystem::path& dir) {
    ChannelsConfig config;
    config.dingtalk = ReadRobot(file.Section("dingtalk"), true);
    config.wecom = ReadRobot(file.Section("wecom"), false);
    config.feishu = ReadRobot(file.Section("feishu"), true);
    config.email = ReadEmail(file.Section("email"));
    WarnIfOthersRead(dir, config, file.Section("email"));
    return config;
}
