#!/usr/bin/env bash
# Installs into a scratch prefix and checks what lands there with the desktop's own
# validators.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

test -x "$prefix/bin/kestrova"
# The launcher's two libraries: the whole program, and the quick command-line shot.
test -n "$(find "$prefix" -name libkestrova_program.so)"
test -n "$(find "$prefix" -name libkestrova_quickshot.so)"
desktop="$prefix/share/applications/kestrova.desktop"
desktop-file-validate "$desktop"
# By its full path, which KWin needs to grant the program its screenshot service.
grep -q "^Exec=$prefix/bin/kestrova\$" "$desktop"
grep -q "^Exec=$prefix/bin/kestrova --capture\$" "$desktop"
test -s "$prefix/share/icons/hicolor/scalable/apps/kestrova.svg"
appstreamcli validate --no-net "$prefix/share/metainfo/io.github.kestrova.kestrova.metainfo.xml"
"$prefix/bin/kestrova" --version | grep -q '^kestrova '
# The manual page, with every command-line option.
page="$prefix/share/man/man1/kestrova.1"
for option in capture settings quit screen region output clipboard delay verbose; do
  grep -q -- "-\\\\-$option" "$page"
done
