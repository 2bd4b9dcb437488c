#pragma once

#include <chrono>
#include <string>

#include "channels/channel.h"

// What sets the three group robots apart: the request each platform documents and how it answers.
struct RobotRequest {
    std::string url;
    std::string body;  // JSON
};

struct RobotPlatform {
    const char* name;
    std::size_t maxTextBytes;
    int perMinute;
    RobotRequest (*request)(const RobotConfig& config, const std::string& text,
                            std::chrono::system_clock::time_point now);
    // An HTTP 2xx reply's JSON: empty when it accepted, else the platform's message.
    std::string (*refusal)(const std::string& reply);
};

// A robot channel for `platform`: POSTs its JSON, retries on a network error or HTTP 5xx.
std::unique_ptr<Channel> MakeRobot(const RobotPlatform& platform, const RobotConfig& config);

// The URL with every query value and a /hook/ path's token shown as "…".
std::string ShownRobotUrl(const std::string& url);
// Base64 of HMAC-SHA256 of `message` with `key`.
std::string HmacSha256Base64(const std::string& key, const std::string& message);
// {"errcode":0,"errmsg":"ok"}: DingTalk's and WeCom's answer. Empty when errcode is 0.
std::string ErrcodeRefusal(const std::string& reply);
// A peer's text as one short, safe line.
std::string PeerText(const std::string& text);

const RobotPlatform& DingTalkPlatform();
const RobotPlatform& WeComPlatform();
const RobotPlatform& FeishuPlatform();
