#include "ui/SingleInstance.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QThread>

#include "platform/data_folders.h"

namespace {

// A start may come while the first one is still getting up: its lock is
// taken before its socket listens.
constexpr int kKnockWaitMs = 5000;
constexpr int kKnockIntervalMs = 100;

}  // namespace

SingleInstance::SingleInstance(const QString& key, QObject* parent) : QObject(parent) {
  std::string folder;
  const corvane::Status made = corvane::MakeInstanceFolder(folder);
  if (!made) {
    folderProblem_ = QString::fromStdString(made.reason);
    return;
  }
  QString base = QString::fromStdString(folder) + QStringLiteral("/window");
  if (!key.isEmpty()) base += QLatin1Char('-') + key;
  socketPath_ = base + QStringLiteral(".socket");
  lock_ = std::make_unique<QLockFile>(base + QStringLiteral(".lock"));
  // Only a dead holder makes the lock stale, however long the window ran.
  lock_->setStaleLockTime(0);
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      socket->disconnectFromServer();
      emit ShowRequested();
    }
  });
}

SingleInstance::Role SingleInstance::Claim(QString* problem) {
  if (!lock_) {
    if (problem) {
      *problem = QStringLiteral("%1; running without the check for another window")
                     .arg(folderProblem_);
    }
    return Role::kFirst;
  }
  QElapsedTimer waited;
  waited.start();
  while (true) {
    if (lock_->tryLock(0)) {
      Listen(problem);
      return Role::kFirst;
    }
    if (lock_->error() != QLockFile::LockFailedError) {
      if (problem) *problem = QStringLiteral("Can't create %1").arg(socketPath_);
      return Role::kFirst;
    }
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (socket.waitForConnected(kKnockIntervalMs)) {
      socket.write("show\n");
      socket.waitForBytesWritten(kKnockIntervalMs);
      socket.disconnectFromServer();
      return Role::kNotified;
    }
    if (waited.elapsed() > kKnockWaitMs) {
      if (problem) {
        *problem = QStringLiteral("Corvane is already running but does not answer on %1")
                       .arg(socketPath_);
      }
      return Role::kUnanswered;
    }
    QThread::msleep(kKnockIntervalMs);
  }
}

bool SingleInstance::Listen(QString* problem) {
  // A socket file left by a process that died answers no one.
  QLocalServer::removeServer(socketPath_);
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (server_.listen(socketPath_)) return true;
  if (problem) *problem = QStringLiteral("Can't listen on %1: %2").arg(socketPath_, server_.errorString());
  return false;
}
