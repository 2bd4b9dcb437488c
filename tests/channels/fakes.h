#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// What a platform's robot endpoint got: the path, the query's values (decoded) and the body.
struct RobotRequestSeen {
    std::string path;
    std::map<std::string, std::string> query;
    std::string body;
};

// A group robot's endpoint on 127.0.0.1: keeps every POST and answers with what `reply` gives for the n-th
// (0-based): an HTTP status and a body; status -1 never answers until the receiver stops.
class RobotReceiver {
public:
    struct Reply {
        int status = 200;
        std::string body;
    };
    explicit RobotReceiver(std::function<Reply(int request)> reply);
    ~RobotReceiver();
    RobotReceiver(const RobotReceiver&) = delete;
    RobotReceiver& operator=(const RobotReceiver&) = delete;

    std::string Url(const std::string& pathAndQuery) const;  // http://127.0.0.1:PORT + pathAndQuery
    std::vector<RobotRequestSeen> Requests() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// One message an SMTP client handed over.
struct MailSeen {
    std::string from;             // MAIL FROM's address
    std::vector<std::string> to;  // each RCPT TO's address
    std::string data;             // headers and body as sent, dot-stuffing undone
};

// A minimal SMTP server on 127.0.0.1 (EHLO, MAIL, RCPT, DATA, QUIT, RSET, NOOP) that keeps every message.
// `rcptReply` is the answer to RCPT TO, "250 OK" unless told.
class SmtpReceiver {
public:
    explicit SmtpReceiver(std::string rcptReply = "250 OK");
    ~SmtpReceiver();
    SmtpReceiver(const SmtpReceiver&) = delete;
    SmtpReceiver& operator=(const SmtpReceiver&) = delete;

    std::string Url() const;  // smtp://127.0.0.1:PORT
    std::vector<MailSeen> Mails() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// The decoded Base64 body of a mail whose headers end in a blank line.
std::string MailBody(const std::string& data);
// A header's value, unfolded; empty when absent.
std::string MailHeader(const std::string& data, const std::string& name);
// An RFC 2047 "=?UTF-8?B?...?=" text decoded.
std::string DecodedWords(const std::string& header);
// Base64 of HMAC-SHA256, computed here for the test.
std::string HmacBase64(const std::string& key, const std::string& message);
