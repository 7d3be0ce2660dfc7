#include "platform/app_identity.h"

#include "platform/file_io.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <vector>

namespace corvane {

namespace {

constexpr std::string_view kServiceSuffix = ".service";
constexpr std::string_view kScopeSuffix = ".scope";

// The path of the cgroup line that systemd's units show in.
std::optional<std::string_view> UnitPath(std::string_view text) {
  std::optional<std::string_view> legacy;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const size_t first = line.find(':');
    const size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (id == "0" && controllers.empty()) return path;
    if (controllers.find("name=systemd") != std::string_view::npos) legacy = path;
  }
  return legacy;
}

// systemd writes a "-" inside a name as "\x2d" (and other bytes alike).
std::string Unescape(std::string_view name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    auto hex = [](char c) {
      return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' && hex(name[i + 2]) >= 0 &&
        hex(name[i + 3]) >= 0) {
      out += static_cast<char>(hex(name[i + 2]) * 16 + hex(name[i + 3]));
      i += 3;
    } else {
      out += name[i];
    }
  }
  return out;
}

// A transient scope ends in "-RANDOM"; a template service in "@INSTANCE".
std::string_view WithoutInstance(std::string_view stem, bool scope) {
  const size_t cut = scope ? stem.rfind('-') : stem.find('@');
  return cut == std::string_view::npos || cut == 0 ? stem : stem.substr(0, cut);
}

std::optional<CgroupUnit> ContainerScope(std::string_view stem) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kRuntimes{{
      {"docker-", "docker"},
      {"libpod-conmon-", "podman"},
      {"libpod-", "podman"},
      {"cri-containerd-", "containerd"},
      {"crio-", "cri-o"},
  }};
  for (const auto& [prefix, runtime] : kRuntimes) {
    if (stem.starts_with(prefix) && stem.size() > prefix.size()) {
      return CgroupUnit{UnitKind::kContainer,
                        std::string(runtime) + "/" + std::string(stem.substr(prefix.size(), 12))};
    }
  }
  return std::nullopt;
}

}  // namespace

std::string ApplicationKey(std::string_view executableName, const CgroupUnit& unit) {
  switch (unit.kind) {
    case UnitKind::kFlatpak:
      return "flatpak:" + unit.name;
    case UnitKind::kSnap:
      return "snap:" + unit.name;
    case UnitKind::kContainer:
      return "container:" + unit.name;
    default:
      return std::string(executableName);
  }
}

std::string AppIdentity::Key() const { return ApplicationKey(name, unit); }

bool AppIdentity::Runs(std::string_view labelName) const {
  if (!executablePath.empty()) return name == labelName;
  return !name.empty() && name == labelName.substr(0, kCommandNameBytes);
}

std::string_view CurrentApplicationKey(std::string_view storedKey) {
  // Only a path starts with '/': names, protocols' labels and units do not.
  if (!storedKey.starts_with('/')) return storedKey;
  const std::string_view base = storedKey.substr(storedKey.rfind('/') + 1);
  return base.empty() ? storedKey : base;
}

CgroupUnit ParseCgroupUnit(std::string_view cgroupText) {
  const std::optional<std::string_view> path = UnitPath(cgroupText);
  if (!path) return {};
  std::vector<std::string_view> parts;
  for (size_t start = 0; start <= path->size();) {
    const size_t end = std::min(path->find('/', start), path->size());
    if (end > start) parts.push_back(path->substr(start, end - start));
    start = end + 1;
  }
  // Docker's cgroupfs driver: /docker/ID, no unit.
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    if (parts[i] == "docker") {
      return CgroupUnit{UnitKind::kContainer, "docker/" + std::string(parts[i + 1].substr(0, 12))};
    }
  }
  for (size_t i = parts.size(); i-- > 0;) {
    const std::string_view part = parts[i];
    const bool scope = part.ends_with(kScopeSuffix);
    if (!scope && !part.ends_with(kServiceSuffix)) continue;
    const std::string_view stem =
        part.substr(0, part.size() - (scope ? kScopeSuffix : kServiceSuffix).size());
    bool underUserManager = false;
    for (size_t j = 0; j < i; ++j) underUserManager |= parts[j].starts_with("user@");

    if (scope) {
      if (auto container = ContainerScope(stem)) return *container;
    }
    if (stem.starts_with("snap.")) {
      const std::string_view rest = stem.substr(5);
      return CgroupUnit{UnitKind::kSnap, std::string(rest.substr(0, rest.find('.')))};
    }
    if (stem.starts_with("app-flatpak-")) {
      return CgroupUnit{UnitKind::kFlatpak, Unescape(WithoutInstance(stem.substr(12), scope))};
    }
    if (stem.starts_with("app-")) {
      // app-[LAUNCHER-]APPID: an application id has dots, a launcher
      // ("gnome", "kde") does not.
      std::string_view id = WithoutInstance(stem.substr(4), scope);
      const size_t dash = id.find('-');
      if (dash != std::string_view::npos &&
          id.substr(0, dash).find('.') == std::string_view::npos) {
        id = id.substr(dash + 1);
      }
      return CgroupUnit{UnitKind::kDesktopApp, Unescape(id)};
    }
    // Other scopes are made per launch (a login session, a terminal tab,
    // systemd-run) and name no application.
    if (scope && part != "init.scope") return {};
    return CgroupUnit{underUserManager ? UnitKind::kUserService : UnitKind::kSystemService,
                      Unescape(part)};
  }
  return {};
}

std::string ReadExecutablePath(int pid, const std::string& procRoot) {
  char buffer[4096];
  const std::string link = procRoot + "/" + std::to_string(pid) + "/exe";
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return {};
  std::string_view path(buffer, static_cast<size_t>(n));
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.ends_with(kDeleted)) path.remove_suffix(kDeleted.size());
  return std::string(path);
}

std::string ReadCommandName(int pid, const std::string& procRoot) {
  std::string comm;
  if (!ReadFile(procRoot + "/" + std::to_string(pid) + "/comm", comm)) return {};
  while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0')) comm.pop_back();
  return comm;
}

std::optional<AppIdentity> ReadAppIdentity(int pid, const std::string& procRoot) {
  AppIdentity identity;
  identity.executablePath = ReadExecutablePath(pid, procRoot);
  identity.name = identity.executablePath.substr(identity.executablePath.rfind('/') + 1);
  // Kernel threads have no executable, and another user's needs
  // CAP_SYS_PTRACE; comm is readable by everyone.
  if (identity.name.empty()) identity.name = ReadCommandName(pid, procRoot);
  if (identity.name.empty()) return std::nullopt;
  std::string cgroup;
  if (ReadFile(procRoot + "/" + std::to_string(pid) + "/cgroup", cgroup)) {
    identity.unit = ParseCgroupUnit(cgroup);
  }
  return identity;
}

}  // namespace corvane
