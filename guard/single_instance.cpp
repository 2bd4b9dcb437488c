#include "guard/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include <QByteArray>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include "fileio/regular_file.h"

namespace {

constexpr QByteArrayView kRequest = "raise";
// "command VERB ARGUMENT": the argument Base64, so that any name fits on one line.
constexpr QByteArrayView kCommand = "command";
constexpr QByteArrayView kAnswer = "ok\n";
constexpr QByteArrayView kWindowlessAnswer = "windowless\n";
constexpr qint64 kMaxRequest = 4096;  // a request line with an activation token is far shorter
constexpr std::size_t kMaxLockFile = 4096;
constexpr auto kRetryPause = std::chrono::milliseconds(50);

std::string Local(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

// A folder of this user's that no one else can enter or change: not a link, not open to group or others.
bool Private(const QByteArray& folder) {
    struct stat info {};
    return ::lstat(folder.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & 077) == 0;
}

// The user's runtime folder when it is private; otherwise a folder of the user's own in the temp folder.
QByteArray SocketFolderFor() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.startsWith('/') && Private(runtime)) return runtime;
    return QFile::encodeName(QDir::tempPath()) + "/tessiv-" + QByteArray::number(::geteuid());
}

QString SocketName(const std::filesystem::path& dataDir) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::absolute(dataDir, error);
    if (error) folder = dataDir;
    // The same folder reached through a link or a relative path is still the same folder.
    std::filesystem::path canonical = std::filesystem::weakly_canonical(folder, error);
    if (!error) folder = std::move(canonical);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArray::number(::getuid()));
    hash.addData(QByteArrayView("\0", 1));
    hash.addData(QByteArrayView(folder.lexically_normal().native()));
    return QStringLiteral("tessiv-") + QString::fromLatin1(hash.result().toHex().left(24));
}

// Whether the other end of a local connection runs as this user: only then is anything sent or believed.
bool SameUser(qintptr descriptor) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return descriptor >= 0 &&
           ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
           peer.uid == ::geteuid();
}

std::string OpenFailure(int error) {
    return error == EACCES || error == EPERM ? "permission denied" : "it cannot be created";
}

}  // namespace

SingleInstance::SingleInstance(std::filesystem::path dataDir, QObject* parent)
    : QObject(parent), m_dataDir(std::move(dataDir)) {}

SingleInstance::~SingleInstance() {
    if (m_server != nullptr) m_server->close();  // removes the socket before its folder
    if (!m_madeFolder.isEmpty()) ::rmdir(m_madeFolder.constData());
}

QString SingleInstance::ServerName(const std::filesystem::path& dataDir) {
    return QFile::decodeName(SocketFolderFor()) + QLatin1Char('/') + SocketName(dataDir);
}

SingleInstance::Claim SingleInstance::TakeOrHandOver(const QString& activationToken,
                                                     std::chrono::milliseconds wait) {
    const std::filesystem::path lockPath = m_dataDir / kLockFileName;
    // Never followed through a link, never waited on (a FIFO), and only a regular file is locked.
    RegularFile lock = OpenRegularFile(lockPath, O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    if (!lock) {
        struct stat info = lock.info;
        if (lock.notRegular || ((lock.error == ELOOP || lock.error == EISDIR || lock.error == ENXIO) &&
                                ::lstat(lockPath.c_str(), &info) == 0 && !S_ISREG(info.st_mode))) {
            m_note = "cannot use the lock file " + lockPath.string() + ": it is " + FileKind(info.st_mode) +
                     ", not a regular file; remove it and start again";
            return Claim::Unusable;
        }
        m_note = "cannot lock " + lockPath.string() + " (" + OpenFailure(lock.error) +
                 "); a second start in this folder would not find this monitor";
        return Claim::Unguarded;
    }
    m_lock = std::move(lock.fd);
    // The lock goes with the process: a monitor that crashed holds nothing, however young its lock file.
    const QDeadlineTimer deadline(wait);
    for (;;) {
        if (::flock(m_lock.get(), LOCK_EX | LOCK_NB) == 0) {
            Listen();
            return Claim::First;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            m_note = "cannot lock " + lockPath.string() + " (" + std::strerror(errno) +
                     "); a second start in this folder would not find this monitor";
            m_lock.Reset();
            return Claim::Unguarded;
        }
        if (const Answer answer = AskHolder(HolderServerName(), activationToken, deadline);
            answer != Answer::None) {
            if (answer == Answer::Raised) return Claim::Handed;
            m_note = "a monitor without a window already watches the hosts of " + m_dataDir.string() +
                     "; stop it first";
            return Claim::Windowless;
        }
        // The holder may be starting (not listening yet) or just ending (the lock about to be free).
        if (deadline.hasExpired()) break;
        QThread::msleep(
            static_cast<unsigned long>(std::min<qint64>(kRetryPause.count(), deadline.remainingTime())));
    }
    m_note = "the monitor already running in " + m_dataDir.string() + " did not answer within " +
             (wait.count() % 1000 == 0 ? std::to_string(wait.count() / 1000) + " s"
                                       : std::to_string(wait.count()) + " ms") +
             "; it still holds the folder, so this start leaves";
    return Claim::Unanswered;
}

// The socket the holder wrote into the lock file (its second line), else the one of this environment. The
// holder may have another environment (no XDG_RUNTIME_DIR, say), so its own word comes first.
QString SingleInstance::HolderServerName() const {
    return HolderServerName(m_lock.get(), m_dataDir);
}

QString SingleInstance::HolderServerName(int lockFd, const std::filesystem::path& dataDir) {
    std::string content;
    if (ReadAll(lockFd, content, kMaxLockFile)) {
        const std::size_t first = content.find('\n');
        const std::size_t second = first == std::string::npos ? first : content.find('\n', first + 1);
        if (second != std::string::npos) {
            const std::string name = content.substr(first + 1, second - first - 1);
            const bool plain = std::none_of(name.begin(), name.end(),
                                            [](char c) { return static_cast<unsigned char>(c) < 0x20; });
            if (plain && name.size() > 1 && name.front() == '/' &&
                name.size() < sizeof(sockaddr_un::sun_path))
                return QFile::decodeName(QByteArray::fromStdString(name));
        }
    }
    return ServerName(dataDir);
}

SingleInstance::Answer SingleInstance::AskHolder(const QString& serverName, const QString& activationToken,
                                                 const QDeadlineTimer& deadline) {
    QLocalSocket socket;
    socket.connectToServer(serverName);
    if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) return Answer::None;
    // Whoever else made a socket of that name gets nothing and is not believed.
    if (!SameUser(socket.socketDescriptor())) return Answer::None;
    QByteArray request = kRequest.toByteArray();
    if (!activationToken.isEmpty()) request += ' ' + activationToken.toUtf8();
    socket.write(request + '\n');
    // A hung holder still accepts the connection (the system queues it) but never answers.
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) return Answer::None;
    }
    const QByteArray answer = socket.readLine(kMaxRequest);
    if (answer == kAnswer) return Answer::Raised;
    return answer == kWindowlessAnswer ? Answer::Windowless : Answer::None;
}

// The user's socket folder, made when missing. Where someone else holds that name, a folder of a random name
// takes its place: the lock file tells later starts where the socket is.
QString SingleInstance::SocketFolder() {
    const QByteArray folder = SocketFolderFor();
    if ((::mkdir(folder.constData(), 0700) == 0 || errno == EEXIST) && Private(folder))
        return QFile::decodeName(folder);
    QByteArray made = folder + "-XXXXXX";
    if (::mkdtemp(made.data()) == nullptr) return {};
    m_madeFolder = made;
    return QFile::decodeName(made);
}

void SingleInstance::Listen() {
    const QString folder = SocketFolder();
    if (folder.isEmpty()) {
        m_note = "cannot make a private folder for the socket in " + Local(QDir::tempPath()) +
                 "; a second start in this folder would not find this monitor";
        return;
    }
    const QString name = folder + QLatin1Char('/') + SocketName(m_dataDir);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            if (SameUser(socket->socketDescriptor())) {
                Serve(socket);
            } else {
                socket->abort();
                socket->deleteLater();
            }
        }
    });
    // We hold the lock, so a socket of this name is left from a monitor that ended without closing it.
    QLocalServer::removeServer(name);
    if (!m_server->listen(name)) {
        m_note = "cannot listen on " + Local(name) + " (" + Local(m_server->errorString()) +
                 "); a second start in this folder would not find this monitor";
        return;
    }
    // Who holds the folder and where to ask it, for later starts whatever their environment.
    const std::string content = std::to_string(::getpid()) + '\n' + Local(name) + '\n';
    if (::ftruncate(m_lock.get(), 0) == 0) WriteAllAt(m_lock.get(), content, 0);
}

void SingleInstance::Serve(QLocalSocket* socket) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    auto serve = [this, socket] {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > kMaxRequest) {
                socket->abort();
                socket->deleteLater();
            }
            return;
        }
        const QByteArray line = socket->readLine(kMaxRequest).trimmed();
        if (line.startsWith(kCommand.toByteArray() + ' ')) {
            RunCommand(socket, line);
            return;
        }
        if (line != kRequest && !line.startsWith(kRequest.toByteArray() + ' ')) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        if (m_windowless) {
            socket->write(kWindowlessAnswer.data(), kWindowlessAnswer.size());
        } else {
            emit RaiseRequested(QString::fromUtf8(line.mid(kRequest.size()).trimmed()));
            socket->write(kAnswer.data(), kAnswer.size());
        }
        socket->disconnectFromServer();
    };
    connect(socket, &QLocalSocket::readyRead, this, serve);
    serve();  // what arrived before the connection was taken
}

void SingleInstance::RunCommand(QLocalSocket* socket, const QByteArray& line) {
    const QList<QByteArray> words = line.split(' ');
    CommandAnswer answer{false, "this monitor does not take that command"};
    if (words.size() == 3 && m_commands)
        answer = m_commands(words[1].toStdString(), QByteArray::fromBase64(words[2]).toStdString());
    QByteArray message = QByteArray::fromStdString(answer.message);
    message.replace('\n', ' ');
    socket->write((answer.ok ? "ok " : "no ") + message + '\n');
    socket->disconnectFromServer();
}

SingleInstance::CommandAnswer SingleInstance::SendCommand(const std::filesystem::path& dataDir,
                                                          const std::string& verb,
                                                          const std::string& argument,
                                                          std::chrono::milliseconds wait) {
    const CommandAnswer none{false, "no monitor is running in " + dataDir.string()};
    RegularFile lock = OpenRegularFile(dataDir / kLockFileName, O_RDONLY | O_NOFOLLOW);
    if (!lock && lock.error == EACCES)
        return {false, "the folder " + dataDir.string() +
                           " is another user's; their monitor takes no command from you"};
    if (!lock) return none;
    // A lock nobody holds is left from a monitor that ended.
    if (::flock(lock.fd.get(), LOCK_SH | LOCK_NB) == 0) return none;
    const QDeadlineTimer deadline(wait);
    QLocalSocket socket;
    socket.connectToServer(HolderServerName(lock.fd.get(), dataDir));
    if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime())) ||
        !SameUser(socket.socketDescriptor()))
        return {false, "the monitor running in " + dataDir.string() + " cannot be reached by this user"};
    socket.write(kCommand.toByteArray() + ' ' + QByteArray::fromStdString(verb) + ' ' +
                 QByteArray::fromStdString(argument).toBase64() + '\n');
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            return {false, "the monitor running in " + dataDir.string() + " did not answer"};
    }
    const QByteArray answer = socket.readLine(kMaxRequest).trimmed();
    if (answer.startsWith("ok ")) return {true, answer.mid(3).toStdString()};
    if (answer.startsWith("no ")) return {false, answer.mid(3).toStdString()};
    return {false,
            "the monitor running in " + dataDir.string() + " does not take this command (an older Tessiv?)"};
}
