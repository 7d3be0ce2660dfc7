#include "ui/ProgramIcons.h"

#include <QFileInfo>
#include <cstdlib>

#include "ui/desktop_entries.h"

ProgramIcons::ProgramIcons(std::vector<std::string> folders, QObject* parent)
    : QObject(parent), folders_(std::move(folders)) {
  generic_ = QIcon::fromTheme(QStringLiteral("application-x-executable"));
  if (generic_.isNull()) generic_ = QIcon(QStringLiteral(":/icons/row.svg"));
}

ProgramIcons::~ProgramIcons() {
  {
    corvane::MutexLock lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

bool ProgramIcons::Idle() const { return unanswered_.isEmpty(); }

QIcon ProgramIcons::Icon(const QString& name) {
  if (name.isEmpty()) return generic_;
  if (auto found = cache_.constFind(name); found != cache_.constEnd()) return *found;
  cache_.insert(name, generic_);
  unanswered_.insert(name);
  {
    corvane::MutexLock lock(mutex_);
    questions_.push_back(name.toStdString());
  }
  if (!worker_.joinable()) worker_ = std::thread([this] { Run(); });
  wake_.notify_one();
  return generic_;
}

void ProgramIcons::WithIcon(const QString& name, std::function<void(const QIcon&)> show) {
  const QIcon icon = Icon(name);
  if (!unanswered_.contains(name)) {
    show(icon);
    return;
  }
  waitingFor_[name].push_back(std::move(show));
}

void ProgramIcons::Run() {
  std::vector<std::string> folders = folders_;
  if (folders.empty()) {
    folders = corvane::DesktopEntryFolders([](const char* variable) {
      const char* value = std::getenv(variable);
      return std::string(value ? value : "");
    });
  }
  const corvane::DesktopIcons icons = corvane::LoadDesktopIcons(folders, [this] {
    corvane::MutexLock lock(mutex_);
    return stop_;
  });
  for (;;) {
    std::string name;
    {
      corvane::MutexLock lock(mutex_);
      wake_.wait(lock, [this]() REQUIRES(mutex_) { return stop_ || !questions_.empty(); });
      if (stop_) return;
      name = std::move(questions_.front());
      questions_.pop_front();
    }
    // A sandbox's key ("flatpak:org.example.App") or a plain name.
    const QString icon = QString::fromStdString(icons.IconOf(name));
    QMetaObject::invokeMethod(this, [this, key = QString::fromStdString(name), icon] {
      Answer(key, icon);
    }, Qt::QueuedConnection);
  }
}

void ProgramIcons::Answer(const QString& name, const QString& icon) {
  unanswered_.remove(name);
  QIcon found;
  if (QFileInfo(icon).isAbsolute()) {
    if (QFileInfo(icon).isFile()) found = QIcon(icon);
  } else if (!icon.isEmpty()) {
    found = QIcon::fromTheme(icon);
  }
  if (!found.isNull()) {
    cache_.insert(name, found);
    emit iconsChanged();
  }
  const auto waiting = waitingFor_.take(name);
  for (const auto& show : waiting) show(found.isNull() ? generic_ : found);
}
