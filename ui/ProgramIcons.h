// Program icons from the desktop's own data: the .desktop entry whose
// executable, StartupWMClass, Flatpak id or snap name matches the program
// (ui/desktop_entries.h), its icon through the icon theme or its path, and a
// generic program icon otherwise.
//
// Icon() answers at once from the cache; a program not looked up yet gets
// the generic icon now, and its look-up is queued for the worker thread
// that this object owns (started on the first request, joined by the
// destructor). The worker reads the entries once; each program is looked up
// once. When answers arrive, iconsChanged() tells the views to repaint.
//
// Window thread, apart from the worker, which only reads files and hands
// icon names back through a queued call.
#pragma once

#include <QHash>
#include <QIcon>
#include <QObject>
#include <QSet>
#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <string>
#include <thread>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include <vector>

class ProgramIcons : public QObject {
  Q_OBJECT

 public:
  // `folders`: where the entries are read (DesktopEntryFolders() when empty).
  explicit ProgramIcons(std::vector<std::string> folders = {}, QObject* parent = nullptr);
  ~ProgramIcons() override;

  // The icon of the program `name` (a row's program or an application key).
  QIcon Icon(const QString& name);
  // Calls `show` with the program's icon once it is known: at once when it
  // was looked up already, else when the worker answers (with the generic
  // icon when no entry matches). For a notice that should carry the icon.
  void WithIcon(const QString& name, std::function<void(const QIcon&)> show);
  // The icon shown when no entry matches.
  const QIcon& GenericIcon() const { return generic_; }
  // Whether every look-up asked for so far has been answered (tests).
  bool Idle() const;

 signals:
  void iconsChanged();

 private:
  void Run();
  void Answer(const QString& name, const QString& icon);

  std::vector<std::string> folders_;
  QIcon generic_;
  QHash<QString, QIcon> cache_;  // window thread; generic until answered
  QHash<QString, std::vector<std::function<void(const QIcon&)>>> waitingFor_;  // window thread
  QSet<QString> unanswered_;     // window thread: asked, no answer yet

  corvane::Mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<std::string> questions_ GUARDED_BY(mutex_);
  bool stop_ GUARDED_BY(mutex_) = false;
  std::thread worker_;  // started by the first question
};
