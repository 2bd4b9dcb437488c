#include "core/single_instance.h"

#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include <QByteArray>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>

namespace {

constexpr QByteArrayView kRequest = "raise";
constexpr QByteArrayView kAnswer = "ok\n";
constexpr QByteArrayView kWindowlessAnswer = "windowless\n";
constexpr qint64 kMaxRequest = 4096;  // a request line with an activation token is far shorter
constexpr auto kRetryPause = std::chrono::milliseconds(50);

std::string Local(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

std::string LockFailure(QLockFile::LockError error) {
    return error == QLockFile::PermissionError ? "permission denied" : "it cannot be created";
}

}  // namespace

SingleInstance::SingleInstance(std::filesystem::path dataDir, QObject* parent)
    : QObject(parent), m_dataDir(std::move(dataDir)), m_serverName(ServerName(m_dataDir)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::ServerName(const std::filesystem::path& dataDir) {
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
    const QString name = QStringLiteral("tessiv-") + QString::fromLatin1(hash.result().toHex().left(24));
    // The user's private runtime folder where there is one: nobody else can take the name there. Elsewhere
    // Qt's temp folder.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.startsWith('/') && std::filesystem::is_directory(runtime.constData(), error))
        return QFile::decodeName(runtime) + QLatin1Char('/') + name;
    return name;
}

SingleInstance::Claim SingleInstance::TakeOrHandOver(const QString& activationToken,
                                                     std::chrono::milliseconds wait) {
    const std::filesystem::path lockPath = m_dataDir / kLockFileName;
    m_lock = std::make_unique<QLockFile>(QFile::decodeName(lockPath.c_str()));
    // Held for the monitor's whole life: only a holder that has ended makes it stale, never its age.
    m_lock->setStaleLockTime(0);
    const QDeadlineTimer deadline(wait);
    for (;;) {
        if (m_lock->tryLock(0)) {
            Listen();
            return Claim::First;
        }
        if (m_lock->error() != QLockFile::LockFailedError) {
            m_note = "cannot lock " + lockPath.string() + " (" + LockFailure(m_lock->error()) +
                     "); a second start in this folder would not find this monitor";
            return Claim::Unguarded;
        }
        if (const Answer answer = AskHolder(activationToken, deadline); answer != Answer::None) {
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
             "; starting anyway";
    return Claim::Unanswered;
}

SingleInstance::Answer SingleInstance::AskHolder(const QString& activationToken,
                                                 const QDeadlineTimer& deadline) {
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) return Answer::None;
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

void SingleInstance::Listen() {
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) Serve(socket);
    });
    // We hold the lock, so a socket of this name is left from a monitor that ended without closing it.
    QLocalServer::removeServer(m_serverName);
    if (!m_server->listen(m_serverName))
        m_note = "cannot listen on " + Local(m_serverName) + " (" + Local(m_server->errorString()) +
                 "); a second start in this folder would not find this monitor";
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
