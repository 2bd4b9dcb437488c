#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "channels/channels_config.h"
#include "channels/message.h"

// How one try of a channel ended.
struct Attempt {
    enum class Outcome { Sent, Retry, Refused };
    Outcome outcome = Outcome::Retry;
    std::string
        reason;  // for the run pane and --test-notify: the platform's message, HTTP status, SMTP reply
};

// What one try carries through its transfer; a channel keeps its own parts here.
struct Transfer {
    std::string url;
    std::string body;            // sent
    std::size_t bodyRead = 0;    // how much of an upload libcurl has taken
    std::string reply;           // received
    std::string lastServerLine;  // SMTP: the server's first refusal, else its last reply line
    void* headers = nullptr;     // curl_slist*, freed with the transfer
    void* recipients = nullptr;  // curl_slist*
    ~Transfer();
    Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
};

// One place the alarm goes: a group robot or e-mail. Immutable once made, so the sender's thread and
// --test-notify share it freely.
class Channel {
public:
    virtual ~Channel() = default;
    // "dingtalk", "wecom", "feishu", "email": the metrics' label and the run pane's name.
    virtual std::string Name() const = 0;
    // Where it goes, without token, secret or password: "https://oapi.dingtalk.com/robot/send?access_token=…"
    virtual std::string Shown() const = 0;
    // The most a platform takes in one text.
    virtual std::size_t MaxTextBytes() const = 0;
    // Sends allowed a minute; more waiting messages are merged into one.
    virtual int PerMinute() const = 0;
    // Sets up `easy` (a CURL*) for one try carrying `message`; false when it cannot.
    virtual bool Prepare(void* easy, const ChannelMessage& message, Transfer& transfer) const = 0;
    // What the ended transfer means.
    virtual Attempt Judge(void* easy, int curlCode, const Transfer& transfer) const = 0;
};

std::unique_ptr<Channel> MakeDingTalk(const RobotConfig& config);
std::unique_ptr<Channel> MakeWeCom(const RobotConfig& config);
std::unique_ptr<Channel> MakeFeishu(const RobotConfig& config);
std::unique_ptr<Channel> MakeEmail(const EmailConfig& config);

// One try now, blocking for at most `timeout`: for --test-notify.
Attempt SendOnce(const Channel& channel, const ChannelMessage& message, std::chrono::milliseconds timeout);
// The options every try sets, whatever the channel: time-out, no signals, close-on-exec sockets, checked
// certificates against the system's CAs, the reply kept in `transfer.reply`.
bool CommonOptions(void* easy, Transfer& transfer, std::chrono::milliseconds timeout);
