// The desktop's application entries come from other packages: whatever they
// hold, a program gets the icon of the entry that names it, or none.
#include "ui/desktop_entries.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <string>

namespace {

void Write(const QString& path, const std::string& text) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(text.data(), static_cast<qint64>(text.size()));
}

TEST(DesktopEntriesTest, HostileEntriesGiveNoIconAndMatchesComeFromExecWmClassAndSandboxIds) {
  QTemporaryDir dir;
  const QString apps = dir.filePath(QStringLiteral("applications"));
  ASSERT_TRUE(QDir().mkpath(apps));
  // Exec behind env, its path and quotes; other groups and localised keys
  // do not count; a malformed line and a huge line are skipped.
  Write(apps + "/a.desktop",
        "[Desktop Entry]\nType=Application\nIcon[de]=falsch\nIcon=org.example.Fetch\nno equals sign\n" +
            std::string(10000, 'x') + "=y\nExec=env LANG=C \"/opt/fetch/bin/fetch\" --new %U\n"
            "StartupWMClass=FetchWindow\n[Desktop Action new]\nIcon=wrong\nExec=other\n");
  // A Flatpak's launcher names the sandbox, not "flatpak".
  Write(apps + "/b.desktop",
        "[Desktop Entry]\nType=Application\nIcon=org.example.Chat\nX-Flatpak=org.example.Chat\n"
        "Exec=/usr/bin/flatpak run --branch=stable org.example.Chat\n");
  // Hidden, not an application, a control character, binary junk, too big.
  Write(apps + "/c.desktop", "[Desktop Entry]\nType=Application\nHidden=true\nIcon=h\nExec=hidden\n");
  Write(apps + "/d.desktop", "[Desktop Entry]\nType=Link\nIcon=l\nExec=link\n");
  Write(apps + "/e.desktop", "[Desktop Entry]\nType=Application\nIcon=bad\x1b]0;x\nExec=escape\n");
  Write(apps + "/f.desktop", std::string("\0\xff\xfe[Desktop Entry\n=\n\n", 20));
  Write(apps + "/g.desktop", "[Desktop Entry]\nType=Application\nIcon=big\nExec=big\n" +
                                 std::string(corvane::kMaxDesktopFileBytes, '#'));
  Write(apps + "/not-an-entry.txt", "[Desktop Entry]\nType=Application\nIcon=txt\nExec=txt\n");
  ASSERT_TRUE(QFile::link(apps + "/a.desktop", apps + "/link.desktop"));

  const corvane::DesktopIcons icons =
      corvane::LoadDesktopIcons({dir.filePath("missing").toStdString(), apps.toStdString()});
  EXPECT_EQ(icons.IconOf("fetch"), "org.example.Fetch");
  EXPECT_EQ(icons.IconOf("fetchwindow"), "org.example.Fetch");
  EXPECT_EQ(icons.IconOf("flatpak:org.example.Chat"), "org.example.Chat");
  EXPECT_EQ(icons.IconOf("Chat"), "org.example.Chat");
  for (const char* none : {"flatpak", "env", "hidden", "link", "escape", "big", "txt", "other"}) {
    EXPECT_EQ(icons.IconOf(none), "") << none;
  }

  const auto folders = corvane::DesktopEntryFolders([](const char* name) -> std::string {
    if (std::string(name) == "HOME") return "/home/u";
    if (std::string(name) == "XDG_DATA_DIRS") return "/usr/share:relative:/opt/share";
    return "";
  });
  EXPECT_EQ(folders.front(), "/home/u/.local/share/applications");
  EXPECT_NE(std::find(folders.begin(), folders.end(), "/opt/share/applications"), folders.end());
  EXPECT_EQ(std::find(folders.begin(), folders.end(), "relative/applications"), folders.end());
}

}  // namespace
