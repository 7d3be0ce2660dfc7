#include "ui/NewProgramNotices.h"

#include <set>
#include <string>

#include "engine/protocol_names.h"

namespace {

// A notice is read at a glance: the rest of a long list is left out.
constexpr qsizetype kNamesShown = 6;

// Traffic whose program could not be named counts under its protocol's
// label ("TCP protocol"), which is no program.
bool IsProtocolLabel(const QString& name) {
  static const std::set<std::string> labels = [] {
    std::set<std::string> texts;
    for (uint16_t protocol = 0; protocol < 256; ++protocol) {
      texts.insert(corvane::ProtocolSourceText(protocol));
    }
    return texts;
  }();
  return labels.count(name.toStdString()) > 0;
}

}  // namespace

QString NewProgramNoticeText(const QList<NewProgram>& programs) {
  if (programs.size() == 1) {
    const NewProgram& program = programs.front();
    // A program whose executable could not be read is known by its name only.
    const QString who = program.app == program.name
                            ? program.name
                            : QStringLiteral("%1 (%2)").arg(program.name, program.app);
    return who + QStringLiteral(" sent or received its first bytes");
  }
  QStringList names;
  for (qsizetype i = 0; i < programs.size() && i < kNamesShown; ++i) names << programs[i].name;
  if (programs.size() > kNamesShown) names << QStringLiteral("\u2026");
  return QStringLiteral("%1 new programs: %2")
      .arg(programs.size())
      .arg(names.join(QStringLiteral(", ")));
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
  if (!enabled_ || IsProtocolLabel(name)) return;
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
  shown_ = std::move(pending_);
  pending_.clear();
  quiet_.start();
  if (show_) show_(QString::fromLatin1(kNewProgramTitle), text);
}
