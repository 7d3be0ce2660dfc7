# `cpack -G DEB` in the build folder makes corvane_<version>_<arch>.deb from
# what `cmake --install` installs, with its library dependencies found by
# dpkg-shlibdeps and the maintainer scripts of packaging/debian/.

# The headless watcher as a systemd user unit (systemctl --user enable
# corvane-watch.service). It names corvane-cli without a folder, which
# systemd finds in /usr/bin and in /usr/local/bin alike.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/systemd/corvane-watch.service
        DESTINATION lib/systemd/user)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Corvane developers")
set(CPACK_PACKAGE_CONTACT "The Corvane developers <${CORVANE_SUPPORT_ADDRESS}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network traffic monitor for the desktop")
set(CPACK_PACKAGE_DESCRIPTION "Corvane shows, live, which remote addresses the workstation talks to,
which local program does the talking, how many bytes went each way and
when. It keeps traffic logs, hides what its filters name, and comes with
corvane-cli, which replays capture files or watches from a terminal.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${CORVANE_WEB_PAGE})
# dpkg-shlibdeps adds the libraries the programs link (libpcap, SQLite,
# Qt, and ncurses for corvane-cli top); building needs libncurses-dev
# (scripts/install-deps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window cannot start without Qt's platform plugins (only recommended
# by libqt6gui6); setcap gives the capture helper its capabilities.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
  ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
  ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
