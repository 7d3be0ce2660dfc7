#include "ui/desktop_entries.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace corvane {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return lower;
}

// Printable ASCII and UTF-8 only, no control characters: such a value goes
// to the icon theme as a name or a path.
bool Clean(std::string_view value) {
  return std::none_of(value.begin(), value.end(),
                      [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// The program an Exec line runs: its first word that is neither "env", an
// environment assignment nor an option of env, unquoted, as a base name.
std::string ExecutableOf(std::string_view exec) {
  size_t pos = 0;
  bool afterEnv = false;
  while (pos < exec.size()) {
    while (pos < exec.size() && exec[pos] == ' ') ++pos;
    if (pos >= exec.size()) break;
    std::string word;
    if (exec[pos] == '"') {
      const size_t end = exec.find('"', pos + 1);
      if (end == std::string_view::npos) return {};
      word = exec.substr(pos + 1, end - pos - 1);
      pos = end + 1;
    } else {
      const size_t end = std::min(exec.find(' ', pos), exec.size());
      word = exec.substr(pos, end - pos);
      pos = end;
    }
    const std::string base = word.substr(word.rfind('/') == std::string::npos ? 0 : word.rfind('/') + 1);
    if (base == "env") {
      afterEnv = true;
      continue;
    }
    if (afterEnv && (word.find('=') != std::string::npos || word.starts_with("-"))) continue;
    return base;
  }
  return {};
}

}  // namespace

std::optional<DesktopEntry> ParseDesktopEntry(std::string_view text) {
  if (text.size() > kMaxDesktopFileBytes) return std::nullopt;
  DesktopEntry entry;
  bool inEntry = false, application = false, hidden = false;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.size() > kMaxLineBytes || line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    if (!inEntry) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    // Localised keys ("Icon[de]") are other keys.
    const std::string_view key = Trim(line.substr(0, equals));
    const std::string_view value = Trim(line.substr(equals + 1));
    if (!Clean(value)) continue;
    if (key == "Type") {
      application = value == "Application";
    } else if (key == "Hidden" || key == "NoDisplay") {
      hidden = hidden || (key == "Hidden" && value == "true");
    } else if (key == "Icon") {
      entry.icon = value;
    } else if (key == "Exec") {
      entry.executable = ExecutableOf(value);
    } else if (key == "StartupWMClass") {
      entry.startupWmClass = value;
    } else if (key == "X-Flatpak") {
      entry.flatpakId = value;
    } else if (key == "X-SnapInstanceName") {
      entry.snapName = value;
    }
  }
  if (!application || hidden || entry.icon.empty()) return std::nullopt;
  return entry;
}

void DesktopIcons::Name(std::string_view name, const std::string& icon) {
  if (name.empty()) return;
  icons_.try_emplace(Lower(name), icon);
}

void DesktopIcons::Add(const DesktopEntry& entry) {
  // A launcher that runs the sandbox names it by the sandbox's id, not by
  // the launcher.
  const bool launcher = entry.executable == "flatpak" || entry.executable == "snap";
  if (!launcher) Name(entry.executable, entry.icon);
  Name(entry.startupWmClass, entry.icon);
  if (!entry.flatpakId.empty()) {
    Name("flatpak:" + entry.flatpakId, entry.icon);
    Name(std::string_view(entry.flatpakId).substr(entry.flatpakId.rfind('.') + 1), entry.icon);
  }
  if (!entry.snapName.empty()) {
    Name("snap:" + entry.snapName, entry.icon);
    Name(entry.snapName, entry.icon);
  }
}

std::string DesktopIcons::IconOf(std::string_view name) const {
  const auto found = icons_.find(Lower(name));
  return found == icons_.end() ? std::string() : found->second;
}

std::vector<std::string> DesktopEntryFolders(
    const std::function<std::string(const char*)>& environment) {
  std::vector<std::string> folders;
  const std::string home = environment("HOME");
  std::string dataHome = environment("XDG_DATA_HOME");
  if (dataHome.empty() && !home.empty()) dataHome = home + "/.local/share";
  if (!dataHome.empty()) {
    folders.push_back(dataHome + "/applications");
    folders.push_back(dataHome + "/flatpak/exports/share/applications");
  }
  std::string dataDirs = environment("XDG_DATA_DIRS");
  if (dataDirs.empty()) dataDirs = "/usr/local/share:/usr/share";
  std::string_view dirs = dataDirs;
  while (!dirs.empty()) {
    const size_t colon = std::min(dirs.find(':'), dirs.size());
    if (const std::string_view dir = dirs.substr(0, colon); !dir.empty() && dir.front() == '/') {
      folders.push_back(std::string(dir) + "/applications");
    }
    dirs.remove_prefix(std::min(colon + 1, dirs.size()));
  }
  folders.push_back("/var/lib/flatpak/exports/share/applications");
  folders.push_back("/var/lib/snapd/desktop/applications");
  std::vector<std::string> unique;
  for (std::string& folder : folders) {
    if (std::find(unique.begin(), unique.end(), folder) == unique.end()) unique.push_back(std::move(folder));
  }
  return unique;
}

DesktopIcons LoadDesktopIcons(const std::vector<std::string>& folders,
                              const std::function<bool()>& stopped) {
  DesktopIcons icons;
  size_t files = 0;
  std::string text;
  for (const std::string& folder : folders) {
    std::error_code error;
    std::vector<std::filesystem::path> paths;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
      if (it->path().extension() == ".desktop") paths.push_back(it->path());
    }
    // The same order on every start, so the same entry wins a name.
    std::sort(paths.begin(), paths.end());
    for (const std::filesystem::path& path : paths) {
      if (++files > kMaxDesktopFiles || (stopped && stopped())) return icons;
      // Flatpak's exports are links; a link is followed to a regular file only.
      if (!std::filesystem::is_regular_file(path, error) || error) continue;
      const auto size = std::filesystem::file_size(path, error);
      if (error || size > kMaxDesktopFileBytes) continue;
      std::ifstream in(path, std::ios::binary);
      text.assign(static_cast<size_t>(size), '\0');
      if (!in.read(text.data(), static_cast<std::streamsize>(size))) continue;
      text.resize(static_cast<size_t>(in.gcount()));
      if (auto entry = ParseDesktopEntry(text)) icons.Add(*entry);
    }
  }
  return icons;
}

}  // namespace corvane
