#include "ui/CMainDlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QPushButton>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "vocabulary/text_format.h"
#include "attribution/kernel_owners.h"
#include "platform/helper_capture.h"
#include "storage/history_store.h"
#include "ui/GraphArea.h"
#include "ui/CHistoryDlg.h"
#include "ui/HelpWindow.h"
#include "ui/NewProgramNotices.h"
#include "ui/ProgramIcons.h"
#include "ui/ProgramRecording.h"
#include "ui/ProgramsView.h"
#include "ui/ListWorker.h"
#include "ui/TrafficModel.h"
#include "ui/dialog_units.h"
#include "ui/open_url.h"
#include "ui/main_window_parts.h"

using namespace main_window;

CMainDlg::CMainDlg(MonitorSession& session, QWidget* parent)
    : QDialog(parent),
      session_(session),
      folders_(session.folders()),
      monitor_(&session.monitor()),
      listWork_(std::make_unique<ListWorker>()),
      lookUpNames_(session.lookUpNames()) {
  setWindowTitle(QStringLiteral("Corvane"));
  setWindowIcon(QIcon(QStringLiteral(":/icons/corvane.svg")));
  // Caption, system menu, minimise box and sizing border; no maximise box.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  BuildMenus();
  BuildControls();
  UseCaptureHelper();
  notices_ = new NewProgramNotices([this](const QString& title, const QString& text) {
    const QList<NewProgram>& shown = notices_->lastShown();
    if (shown.size() != 1) {
      ShowNotice(title, text, QIcon(QStringLiteral(":/icons/corvane.svg")));
      return;
    }
    // The program's own icon, once its look-up has answered.
    icons_->WithIcon(shown.front().app,
                     [this, title, text](const QIcon& icon) { ShowNotice(title, text, icon); });
  }, this);
}

void CMainDlg::ShowNotice(const QString& title, const QString& text, const QIcon& icon) {
  // Desktop notifications may read their text as markup; program names are not.
  if (tray_ && trayAvailable_) tray_->showMessage(title, text.toHtmlEscaped(), icon, kNoticeShownMs);
}

// Why the capture helper could not start (not installed, not in its group)
// is told with the box the failure shows; a helper that stops while
// capturing is told once, and the capture thread starts a new one.
void CMainDlg::UseCaptureHelper() {
  MonitorSession::HelperEvents events;
  events.stopped = [this](const std::string& reason) {
    QString text = QString::fromStdString(reason);
    QMetaObject::invokeMethod(this, [this, text] { ReportError(text); }, Qt::QueuedConnection);
  };
  // Which programs can be named depends on the helper: the title says which
  // way it names them, behind the interface the title handler put there.
  events.ready = [this](corvane::capture::AttributionMode mode) {
    const QString suffix =
        QStringLiteral(" \u2014 attribution: ") + QString::fromUtf8(corvane::AttributionModeText(mode));
    QMetaObject::invokeMethod(this, [this, suffix] {
      QString title = windowTitle();
      if (const qsizetype cut = title.indexOf(QStringLiteral(" \u2014 attribution: ")); cut >= 0) {
        title.truncate(cut);
      }
      setWindowTitle(title + suffix);
      attributionText_ = suffix.mid(3);
      ShowCaptureStatus();
    }, Qt::QueuedConnection);
  };
  session_.SetHelperEvents(std::move(events));
}

CMainDlg::~CMainDlg() {
  // No worker may reach the window once it is gone.
  session_.Stop();
  listWork_.reset();
  session_.SetHelperEvents({});
  monitor_->SetRowChangeSink(nullptr);
  monitor_->SetErrorHandler(nullptr);
  monitor_->SetTitleHandler(nullptr);
  monitor_->SetCaptureStateHandler(nullptr);
  monitor_->SetNewApplicationHandler(nullptr);
}

// ---------------------------------------------------------------- layout

bool CMainDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == client_ && event->type() == QEvent::Resize) Relayout();
  return QDialog::eventFilter(watched, event);
}

void CMainDlg::Relayout() {
  if (!view_ || !graph_) return;
  const int cw = client_->width();
  const int ch = client_->height();
  // The capture status line sits under the list, across its width.
  const int statusHeight = statusLabel_->sizeHint().height();
  const int statusTop = ch - statusHeight - DialogUnitsY(this, 2);
  statusLabel_->setGeometry(view_->x(), statusTop, std::max(0, cw - 20), statusHeight);
  if (undoLabel_ && undoLabel_->isVisible()) {
    const int undoWidth = std::min(undoLabel_->sizeHint().width(), std::max(0, cw - 20) / 2);
    undoLabel_->setGeometry(view_->x() + std::max(0, cw - 20) - undoWidth, statusTop, undoWidth,
                            statusHeight);
  }
  view_->resize(std::max(0, cw - 20), std::max(0, statusTop - view_->y() - DialogUnitsY(this, 2)));
  if (programsView_) programsView_->setGeometry(view_->geometry());
  auto keepRightGap = [cw](QWidget* w, int gap) { w->move(cw - gap - w->width() + 1, w->y()); };
  keepRightGap(graph_, graphRightGap_);
  keepRightGap(summaryGroup_, groupRightGap_);
  keepRightGap(summaryLabel_, labelRightGap_);
  if (quickFilter_) {
    const int room = summaryGroup_->x() - DialogUnitsX(this, 5) - quickFilter_->x();
    quickFilter_->resize(std::max(QuickFilterMinWidth(), room), quickFilter_->height());
  }
  update();
}

// ---------------------------------------------------------------- the tick

void CMainDlg::OnTick() {
  auto [down, up] = monitor_->TakeTick();
  graph_->AddTick(down, up);
  model_->TickSpeeds();
  if (programsAction_->isChecked()) programsView_->Refresh(*model_, quickFilter_->text());
  CheckUsage();
  const QString speeds = QStringLiteral("Download %1/s, upload %2/s")
                             .arg(QString::fromStdString(corvane::FormatByteCount(down)),
                                  QString::fromStdString(corvane::FormatByteCount(up)));
  summaryLabel_->setToolTip(speeds);
  summaryGroup_->setToolTip(speeds);
  if (tray_) tray_->setToolTip(QStringLiteral("Corvane\n") + speeds);
  const auto [totalDown, totalUp] = monitor_->Totals();
  summaryLabel_->setText(QStringLiteral("DL: %1  UL: %2")
                             .arg(QString::fromStdString(corvane::FormatByteCount(totalDown)),
                                  QString::fromStdString(corvane::FormatByteCount(totalUp))));
}

void CMainDlg::OnShowMainDialog() {
  show();
  raise();
  activateWindow();
  SetWindowShown(true);
}

void CMainDlg::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason != QSystemTrayIcon::Trigger) return;  // the context menu opens by itself
  OnShowMainDialog();
  if (windowState() & Qt::WindowMinimized) showNormal();
}

void CMainDlg::SetWindowShown(bool shown) {
  windowShown_ = shown;
  graph_->SetWindowShown(shown);
}

void CMainDlg::ReportError(const QString& text) {
  ShowMessage(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok);
}

QMessageBox::StandardButton CMainDlg::ShowMessage(QMessageBox::Icon icon, const QString& caption,
                                                  const QString& text,
                                                  QMessageBox::StandardButtons buttons) {
  // Shown without owner, so the box appears even while the window is hidden.
  QMessageBox box(icon, caption, text, buttons & ~QMessageBox::Default);
  // Host names, paths and the system's reasons are shown as they are, never
  // as markup.
  box.setTextFormat(Qt::PlainText);
  box.setWindowIcon(windowIcon());
  // Asked with Default, the box's last button (No) is the default one.
  if (buttons & QMessageBox::Default) {
    const QList<QAbstractButton*> choices = box.buttons();
    for (QAbstractButton* button : choices) {
      if (box.standardButton(button) == QMessageBox::No) {
        box.setDefaultButton(static_cast<QPushButton*>(button));
      }
    }
  }
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

bool CMainDlg::OpenLink(const QString& url, QString* reason) { return OpenUrl(url, reason); }

// ---------------------------------------------------------------- showing and hiding

void CMainDlg::setVisible(bool visible) {
  if (!visible && !exiting_) {
    // Hiding a dialog would end its exec(); the program lives on behind the
    // tray icon, so only the window goes.
    QWidget::setVisible(false);
    return;
  }
  QDialog::setVisible(visible);
}

void CMainDlg::closeEvent(QCloseEvent* event) {
  if (exiting_) {
    QDialog::closeEvent(event);
    return;
  }
  event->ignore();
  if (trayAvailable_) {
    hide();
    SetWindowShown(false);
    TellOnceStillRunning();
  } else {
    // Without a tray a hidden window could never come back.
    showMinimized();
  }
}

// The first time the window goes behind the tray, the tray says so.
void CMainDlg::TellOnceStillRunning() {
  QSettings preferences(LayoutFile(), QSettings::IniFormat);
  if (preferences.value(kCloseNoteShownKey, false).toBool() || !tray_) return;
  preferences.setValue(kCloseNoteShownKey, true);
  preferences.sync();
  tray_->showMessage(QStringLiteral("Corvane"),
                     QStringLiteral("Corvane is still running in the tray and keeps counting. "
                                    "Click its icon to bring the window back; Exit in its menu "
                                    "ends it."),
                     QSystemTrayIcon::Information, kNoticeShownMs);
}

void CMainDlg::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Enter:
    case Qt::Key_Return:
      event->accept();  // never ends the program
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}

void CMainDlg::reject() {}  // Esc and the dialog's own close do not end it
void CMainDlg::accept() {}
