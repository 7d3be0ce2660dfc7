// The application a process belongs to: the unit its cgroup names, and the
// identity read for a live process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/app_identity.h"
#include "platform/env.h"

namespace corvane {
namespace {

TEST(AppIdentityTest, EachKindOfUnitIsRecognisedFromItsCgroupLine) {
  const std::string user = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/";
  const struct {
    std::string text;
    CgroupUnit unit;
  } cases[] = {
      {"0::/system.slice/nginx.service\n", {UnitKind::kSystemService, "nginx.service"}},
      {"0::/init.scope\n", {UnitKind::kSystemService, "init.scope"}},
      {user + "pipewire.service\n", {UnitKind::kUserService, "pipewire.service"}},
      {user + "app-flatpak-org.mozilla.firefox-48213.scope\n",
       {UnitKind::kFlatpak, "org.mozilla.firefox"}},
      {user + "app-gnome-org.gnome.Terminal-5123.scope\n",
       {UnitKind::kDesktopApp, "org.gnome.Terminal"}},
      {user + "app-gnome-google\\x2dchrome-7781.scope\n", {UnitKind::kDesktopApp, "google-chrome"}},
      {user + "app-org.kde.konsole@7f3c2a.service\n", {UnitKind::kDesktopApp, "org.kde.konsole"}},
      {user + "snap.firefox.firefox-1b7e0c44-aa31-4b6e-9d1f-6e0fa1c2b3d4.scope\n",
       {UnitKind::kSnap, "firefox"}},
      {"0::/system.slice/"
       "docker-3f4e5d6c7b8a9f0e1d2c3b4a5f6e7d8c9b0a1f2e3d4c5b6a7f8e9d0c1b2a3f4e.scope\n",
       {UnitKind::kContainer, "docker/3f4e5d6c7b8a"}},
      {user + "libpod-0123456789abcdef0123456789abcdef.scope/container\n",
       {UnitKind::kContainer, "podman/0123456789ab"}},
      // cgroup v1: the systemd hierarchy decides, not the controllers.
      {"12:pids:/user.slice\n1:name=systemd:/system.slice/cron.service\n",
       {UnitKind::kSystemService, "cron.service"}},
      {"11:memory:/docker/abcdef0123456789abcdef\n0::/docker/abcdef0123456789abcdef\n",
       {UnitKind::kContainer, "docker/abcdef012345"}},
      // Per-launch scopes and shapes of no meaning name no application.
      {"0::/user.slice/user-1000.slice/session-3.scope\n", {}},
      {user + "vte-spawn-8c1e2f3a-1b2c-4d5e-8f90-a1b2c3d4e5f6.scope\n", {}},
      {"0::/\n", {}},
      {"garbage without colons", {}},
      {"", {}},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(ParseCgroupUnit(test.text), test.unit) << test.text;
  }
  AppIdentity sandboxed{
      "/app/lib/firefox/firefox", "firefox", {UnitKind::kFlatpak, "org.mozilla.firefox"}};
  EXPECT_EQ(sandboxed.Key(), "flatpak:org.mozilla.firefox");
  AppIdentity service{"/usr/sbin/nginx", "nginx", {UnitKind::kSystemService, "nginx.service"}};
  EXPECT_EQ(service.Key(), "nginx") << "a service is its program, wherever it is installed";
}

TEST(AppIdentityTest, OwnProcessIsReadAndAVanishedOneIsNot) {
  const std::optional<AppIdentity> own = Env::Default().ReadAppIdentity(::getpid());
  ASSERT_TRUE(own);
  EXPECT_EQ(own->executablePath, std::filesystem::read_symlink("/proc/self/exe").string());
  EXPECT_EQ(own->name, std::filesystem::path(own->executablePath).filename().string());
  EXPECT_FALSE(ReadAppIdentity(::getpid(), "/nonexistent-proc"));
}

}  // namespace
}  // namespace corvane
