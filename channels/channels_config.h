#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "config/config_file.h"

// What tessiv.conf's [dingtalk], [wecom], [feishu] and [email] turn on: the alarm sent to a group robot or
// by e-mail. Each is off unless its section is given, and stays off with a problem.
struct RobotConfig {
    std::string webhook;  // http or https; its query or path holds the robot's token
    std::string secret;   // the signing secret, empty when the robot does not sign
    bool operator==(const RobotConfig&) const = default;
};

struct EmailConfig {
    std::string smtp;  // smtps://HOST[:PORT] or smtp://HOST[:PORT]
    std::string from;
    std::vector<std::string> to;
    std::string user;      // empty: no login
    std::string password;  // read from password_file
    bool operator==(const EmailConfig&) const = default;
};

struct ChannelsConfig {
    std::optional<RobotConfig> dingtalk;
    std::optional<RobotConfig> wecom;
    std::optional<RobotConfig> feishu;
    std::optional<EmailConfig> email;
    bool Any() const { return dingtalk || wecom || feishu || email; }
};

std::vector<ConfigSectionRule> ChannelsSections();
// A channel with a problem stays off; the problem goes to `file`'s. With `dir`, a tessiv.conf there that
// holds a channel's secret and other users may read is a problem too (the channels stay on).
ChannelsConfig ReadChannelsConfig(ConfigFile& file, const std::filesystem::path& dir = {});

// An e-mail address as a header and an SMTP envelope may carry it: no blank, control, comma or bracket.
bool PlainMailAddress(const std::string& address);
