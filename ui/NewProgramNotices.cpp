#include "ui/NewProgramNotices.h"

namespace {

// A notice is read at a glance: the rest of a long list is left out.
constexpr qsizetype kNamesShown = 6;

}  // namespace

QString NewProgramNoticeText(const QList<NewProgram>& programs) {
  if (programs.size() == 1) {
    return QStringLiteral("%1 (%2) sent or received its first bytes")
        .arg(programs.front().name, programs.front().app);
  }
  QStringList names;
  for (qsizetype i = 0; i < programs.size() && i < kNamesShown; ++i) names << programs[i].name;
  if (programs.size() > kNamesShown) names << QStringLiteral("\u2026");
  return QStringLiteral("%1 new programs: %2").arg(programs.size()).arg(names.join(QStringLiteral(", ")));
}

NewProgramNotices::NewProgramNotices(ShowFn show, QObject* parent)
    : QObject(parent), show_(std::move(show)) {
  quiet_.setSingleShot(true);
  quiet_.setInterval(kNoticeInterval);
  connect(&quiet_, &QTimer::timeout, this, &NewProgramNotices::ShowPending);
}

void NewProgramNotices::SetEnabled(bool enabled) {
  enabled_ = enabled;
  if (!enabled_) pending_.clear();
}

void NewProgramNotices::Add(const QString& app, const QString& name) {
  if (!enabled_) return;
  pending_.push_back({app, name});
  if (!quiet_.isActive()) ShowPending();
}

void NewProgramNotices::ShowPending() {
  // An interval that ends with nothing gathered lets the next program be
  // told at once.
  if (pending_.isEmpty()) {
    quiet_.stop();
    return;
  }
  const QString text = NewProgramNoticeText(pending_);
  pending_.clear();
  quiet_.start();
  if (show_) show_(QString::fromLatin1(kNewProgramTitle), text);
}
