// One window per user session and data folder: the first start claims a
// lock file and listens on a local socket in a folder only the user can
// reach (see corvane::MakeInstanceFolder()); a later start finds the lock
// held, knocks on the socket (the running window comes to the front) and
// ends.
//
// Window thread only. The lock is held for the life of the object; a lock
// left by a process that died is taken over (QLockFile checks the process).
// When no such folder can be used (another user planted it) the program
// runs unguarded and says why: no other user can block or dismiss it.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  enum class Role {
    kFirst,    // this process runs the window
    kNotified,   // another one runs it and was asked to show itself
    kUnanswered  // another one holds the lock but does not answer
  };

  // `key` tells apart instances that keep their files in different folders
  // (empty for the default folders).
  explicit SingleInstance(const QString& key, QObject* parent = nullptr);

  // Takes the lock or notifies the holder. Why this process runs unguarded
  // (kFirst) or the holder could not be reached (kUnanswered) goes to
  // `problem`.
  Role Claim(QString* problem);

  QString socketPath() const { return socketPath_; }

 signals:
  // A later start asked for the window.
  void ShowRequested();

 private:
  bool Listen(QString* problem);

  QString folderProblem_;  // why there is no lock, when there is none
  QString socketPath_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer server_;
};
