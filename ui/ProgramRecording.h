// The window's recording of one program's traffic into a pcapng file
// (the list's and the Programs view's "Record this program's traffic..."):
// one at a time, flushed once a second on the window thread, the status
// line told of its progress.
//
// The recorder's observer is installed on the running capture and taken
// away again before the recorder finishes, so a recording can start and
// stop at any time. Window thread only.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/program_recorder.h"
#include "platform/status.h"

class QWidget;

class ProgramRecording : public QObject {
  Q_OBJECT

 public:
  ProgramRecording(corvane::Monitor& monitor, QObject* parent = nullptr);
  ~ProgramRecording() override;

  bool running() const { return recorder_ != nullptr; }
  // The program being recorded ("" when none).
  const std::string& program() const { return program_; }

  // The context menus' entry: "Record this program's traffic..." or, while
  // a recording runs, "Stop recording NAME" (an ampersand of the name kept
  // as it is).
  QString EntryText() const;

  // Records `program` into `path`, which must not exist. The failure's
  // reason, nothing written, when the file can't be created.
  corvane::Status Start(const std::string& program, const std::string& path);
  // Ends the recording (nothing when none runs): the datagrams still
  // waiting are written and the file closed. The line for the status bar,
  // naming the file and the packets written, or the failure's reason.
  QString Stop();

  // Asks for the file in a save dialog: NAME-YYYY-MM-DD-HHMMSS.pcapng in
  // the Documents folder (the home folder without one). nullopt when the
  // user cancels.
  static std::optional<std::string> AskTarget(QWidget* parent, const std::string& program);

  // Writes what waits (the timer does so every second).
  void Flush();

 signals:
  // The status line's text while recording: "Recording NAME to FILE — N packets".
  void progress(const QString& text);
  // A write failed; the recording has stopped. The reason, for a message box.
  void failed(const QString& text);

 private:
  // Takes the observer away and closes the file; the first failure.
  corvane::Status Finish();

  corvane::Monitor& monitor_;
  std::unique_ptr<corvane::ProgramRecorder> recorder_;
  std::string program_;
  QString path_;
  uint64_t written_ = 0;  // by the recording last finished
  QTimer flushTimer_;
};
