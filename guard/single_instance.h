#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include <QObject>
#include <QString>

#include "fileio/unique_fd.h"

class QDeadlineTimer;
class QLocalServer;
class QLocalSocket;

// One monitor per data folder: two would log every alarm twice and overwrite each other's lists. The monitor
// holds a lock on a file in the folder for its whole life; the lock, not the socket, decides. It listens on
// a local socket in a folder only its user can reach and writes that socket's name into the lock file, so a
// later start in the same folder can ask it to come forward and leave.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        First,       // this start holds the folder and answers later starts
        Handed,      // the running monitor came forward: this start should leave
        Unanswered,  // a monitor holds the folder but did not answer in time: this start should leave
        Unguarded,   // the folder cannot be locked: this start runs without the guard
        Windowless,  // a monitor without a window holds the folder: there is nothing to bring forward
        Unusable,    // the lock file is not a regular file: this start should leave
    };

    explicit SingleInstance(std::filesystem::path dataDir, QObject* parent = nullptr);
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the folder or asks its holder to come forward, waiting at most `wait` for the answer. The token
    // is handed to the holder for bringing its window forward (XDG_ACTIVATION_TOKEN of this start), and only
    // to a holder of the same user.
    Claim TakeOrHandOver(const QString& activationToken,
                         std::chrono::milliseconds wait = std::chrono::seconds(2));
    // Answers later starts that this monitor has no window, before TakeOrHandOver.
    void SetWindowless() { m_windowless = true; }

    // A command for the running monitor from a later start of the same user, `tessiv --ack NAME`: the verb
    // ("ack", "unack") and its argument (UTF-8); the answer says whether it was done and, in plain words,
    // what or why not. Called on this object's thread.
    struct CommandAnswer {
        bool ok = false;
        std::string message;
    };
    using CommandHandler = std::function<CommandAnswer(const std::string& verb, const std::string& argument)>;
    void SetCommandHandler(CommandHandler handler) { m_commands = std::move(handler); }
    // Hands a command to the monitor that holds `dataDir`, waiting at most `wait` for its answer. Without a
    // monitor there, or one that does not answer, the answer says so.
    static CommandAnswer SendCommand(const std::filesystem::path& dataDir, const std::string& verb,
                                     const std::string& argument,
                                     std::chrono::milliseconds wait = std::chrono::seconds(5));
    // What the user should be told about the outcome, in plain words; empty when all went as expected.
    const std::string& Note() const { return m_note; }

    // The socket name for a folder: the same for every start of one user in that folder and environment.
    // The holder's lock file names the socket it actually listens on.
    static QString ServerName(const std::filesystem::path& dataDir);
    static constexpr const char* kLockFileName = ".tessiv.lock";

signals:
    // A later start in this folder asks for the window; emitted on this object's thread.
    void RaiseRequested(const QString& activationToken);

private:
    enum class Answer { None, Raised, Windowless };
    Answer AskHolder(const QString& serverName, const QString& activationToken,
                     const QDeadlineTimer& deadline);
    QString HolderServerName() const;
    static QString HolderServerName(int lockFd, const std::filesystem::path& dataDir);
    void RunCommand(QLocalSocket* socket, const QByteArray& line);
    QString SocketFolder();
    void Listen();
    void Serve(QLocalSocket* socket);

    std::filesystem::path m_dataDir;
    UniqueFd m_lock;
    QLocalServer* m_server = nullptr;  // child of this
    QByteArray m_madeFolder;           // a folder of a random name made for the socket, removed at the end
    std::string m_note;
    bool m_windowless = false;
    CommandHandler m_commands;
};
