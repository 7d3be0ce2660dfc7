#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks what a distribution
# checks: the file list, the desktop entry, the AppStream data and the
# manual pages. Then runs the installed corvane-cli with HOME in an empty
# folder: it may write only into its XDG folders.
#
#   check_install.sh CMAKE BUILD_DIR SOURCE_DIR
# Exit 77 (skipped) when a validator is not installed.
set -euo pipefail
cmake=$1 build=$2 source=$3

for tool in desktop-file-validate appstreamcli man; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/usr
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

cat >"$work/expected" <<'LIST'
bin/corvane
bin/corvane-cli
lib/systemd/user/corvane-watch.service
share/applications/corvane.desktop
share/bash-completion/completions/corvane-cli
share/corvane/fleet/corvane-alerts.yml
share/corvane/fleet/corvane-dashboard.json
share/doc/corvane/changelog.Debian.gz
share/doc/corvane/copyright
share/doc/corvane/cvhelp.html
share/icons/hicolor/128x128/apps/corvane.png
share/icons/hicolor/16x16/apps/corvane.png
share/icons/hicolor/24x24/apps/corvane.png
share/icons/hicolor/256x256/apps/corvane.png
share/icons/hicolor/32x32/apps/corvane.png
share/icons/hicolor/48x48/apps/corvane.png
share/icons/hicolor/64x64/apps/corvane.png
share/icons/hicolor/scalable/apps/corvane.svg
share/man/man1/corvane-cli.1.gz
share/man/man1/corvane.1.gz
share/metainfo/org.example.corvane.metainfo.xml
LIST
# The capture helper is installed once the build has one.
(cd "$prefix" && find . -type f | sed 's|^\./||' | grep -v '^libexec/corvane/corvane-capture$' | LC_ALL=C sort) >"$work/installed"
diff -u "$work/expected" "$work/installed"

for size in 16 24 32 48 64 128 256; do
  file "$prefix/share/icons/hicolor/${size}x${size}/apps/corvane.png" | grep -q "PNG image data, $size x $size"
done

desktop-file-validate "$prefix/share/applications/corvane.desktop"
# The maker's web page is a build setting that may not resolve from here.
appstreamcli validate --no-net "$prefix/share/metainfo/org.example.corvane.metainfo.xml"
for page in "$prefix"/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "$page: $warnings" >&2
    exit 1
  fi
done
bash -n "$prefix/share/bash-completion/completions/corvane-cli"

home=$work/home
mkdir "$home"
env -i HOME="$home" PATH=/usr/bin:/bin "$prefix/bin/corvane-cli" replay \
  "$source/fuzz/corpus/fuzz_capture_file/ethernet.pcap" --interface 127.0.0.2 --save-log >/dev/null
stray=$(cd "$home" && find . -type f | grep -v -e '^\./\.config/corvane/' -e '^\./\.local/state/corvane/' || true)
if [ -n "$stray" ]; then
  echo "corvane-cli wrote outside its folders: $stray" >&2
  exit 1
fi
ls "$home"/.local/state/corvane/logs/*.log >/dev/null

# One data folder, by option or by variable: nothing goes into the XDG folders.
replay=("$prefix/bin/corvane-cli" replay "$source/fuzz/corpus/fuzz_capture_file/ethernet.pcap"
        --interface 127.0.0.2 --save-log)
mkdir "$work/home-option" "$work/home-variable"
env -i HOME="$work/home-option" PATH=/usr/bin:/bin "${replay[@]}" --data-dir "$work/data-option" >/dev/null
env -i HOME="$work/home-variable" PATH=/usr/bin:/bin CORVANE_DATA_DIR="$work/data-variable" \
  "${replay[@]}" >/dev/null
for how in option variable; do
  [ -z "$(ls -A "$work/home-$how")" ]
  [ "$("$prefix/bin/corvane-cli" logs --data-dir "$work/data-$how" | wc -l)" = 1 ]
done
[ "$(ls "$prefix/bin")" = "$(printf 'corvane\ncorvane-cli')" ]
echo "installed tree checked"
