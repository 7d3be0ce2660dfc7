// The desktop notice that a program used the network for the first time.
//
// The window hands each new application to Add() (the monitor announces it
// on its processing thread; the window queues it over). The first one is
// shown at once; those that come within kNoticeInterval of a notice wait and
// are shown together in one notice at its end ("3 new programs: a, b, c"),
// so that a burst (the first start, when every program is new) is one
// notice, not a storm. Traffic of no known program (a protocol's label such
// as "TCP protocol") is not told. Turned off, nothing is shown and nothing
// waits.
//
// Window thread only. Showing goes through the function given, which the
// window points at its tray icon.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>

inline constexpr const char* kNewProgramTitle = "New program on the network";
inline constexpr std::chrono::milliseconds kNoticeInterval{5000};

struct NewProgram {
  QString app;   // the application's key
  QString name;  // its executable's name
};

// The notice's text: "NAME (KEY) sent or received its first bytes" for one
// (just NAME when the key is the name),
// "N new programs: NAME, NAME, ..." for several (the first few names).
QString NewProgramNoticeText(const QList<NewProgram>& programs);

class NewProgramNotices : public QObject {
  Q_OBJECT

 public:
  using ShowFn = std::function<void(const QString& title, const QString& text)>;

  explicit NewProgramNotices(ShowFn show, QObject* parent = nullptr);

  void SetEnabled(bool enabled);
  bool enabled() const { return enabled_; }
  void Add(const QString& app, const QString& name);
  // Shows what has gathered and starts a quiet interval; the interval's
  // timer calls it.
  void ShowPending();
  // Programs waiting for the quiet interval to end (tests).
  qsizetype pendingCount() const { return pending_.size(); }
  // The programs of the notice being shown (or shown last).
  const QList<NewProgram>& lastShown() const { return shown_; }

 private:
  ShowFn show_;
  bool enabled_ = true;
  QList<NewProgram> pending_;
  QList<NewProgram> shown_;
  QTimer quiet_;  // running while the last notice is less than kNoticeInterval old
};
