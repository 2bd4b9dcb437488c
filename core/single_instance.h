#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include <QObject>
#include <QString>

class QDeadlineTimer;
class QLocalServer;
class QLocalSocket;
class QLockFile;

// One monitor per data folder: two would log every alarm twice and overwrite each other's lists. The monitor
// holds a lock file in the folder and listens on a local socket named after the folder and the user; a later
// start in the same folder asks it to come forward and leaves.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        First,       // this start holds the folder and answers later starts
        Handed,      // the running monitor came forward: this start should leave
        Unanswered,  // a monitor holds the folder but did not answer in time: this start runs anyway
        Unguarded,   // the folder cannot be locked: this start runs without the guard
        Windowless,  // a monitor without a window holds the folder: there is nothing to bring forward
    };

    explicit SingleInstance(std::filesystem::path dataDir, QObject* parent = nullptr);
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the folder or asks its holder to come forward, waiting at most `wait` for the answer. The token
    // is handed to the holder for bringing its window forward (XDG_ACTIVATION_TOKEN of this start).
    Claim TakeOrHandOver(const QString& activationToken,
                         std::chrono::milliseconds wait = std::chrono::seconds(2));
    // Answers later starts that this monitor has no window, before TakeOrHandOver.
    void SetWindowless() { m_windowless = true; }
    // What the user should be told about the outcome, in plain words; empty when all went as expected.
    const std::string& Note() const { return m_note; }

    // The socket name for a folder: the same for every start of one user in that folder.
    static QString ServerName(const std::filesystem::path& dataDir);
    static constexpr const char* kLockFileName = ".tessiv.lock";

signals:
    // A later start in this folder asks for the window; emitted on this object's thread.
    void RaiseRequested(const QString& activationToken);

private:
    enum class Answer { None, Raised, Windowless };
    Answer AskHolder(const QString& activationToken, const QDeadlineTimer& deadline);
    void Listen();
    void Serve(QLocalSocket* socket);

    std::filesystem::path m_dataDir;
    QString m_serverName;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;  // child of this
    std::string m_note;
    bool m_windowless = false;
};
