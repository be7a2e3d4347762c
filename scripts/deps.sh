#!/usr/bin/env bash
# Installs the Debian packages kestrova needs, if any are missing.
# Usage: scripts/deps.sh build|test
set -euo pipefail

# qt6-wayland: on a Wayland session kestrova runs as a Wayland client (through XWayland
# it would see only X11 windows); wl-clipboard serves `kestrova --clipboard` there.
# libxcb-xtest0-dev: the overlay benchmark, built with kestrova, presses the hot key itself.
# libwayland-dev: on wlroots compositors kestrova reads the screens from the compositor.
# libxkbcommon-dev: on KDE Plasma the hot key is named by the symbol Shift makes.
# libxcb-randr0-dev: command-line screenshots on X11 list the monitors themselves.
build_packages=(cmake g++ make pkgconf qt6-base-dev qt6-svg-dev qt6-wayland wl-clipboard
  libxcb1-dev libxcb-shm0-dev libxcb-xtest0-dev libdeflate-dev libwayland-dev
  libxkbcommon-dev libxcb-randr0-dev)
# The second line is a headless sway session: compositor, screenshot portal, and the
# tools that read its screen and type into it; the third a headless GNOME Shell session
# (its screenshot portal, and gsettings for its wallpaper); the last two a headless KWin
# session with KDE's portal (a Qt 5 program: its Wayland plugin and the QML it loads),
# kglobalaccel, and the tool that makes KWin read desktop entries.
test_packages=(xvfb xauth xdotool xclip x11-xserver-utils x11-utils xcompmgr trayer openbox
  dbus-daemon dbus-bin desktop-file-utils appstream clang-format
  sway xdg-desktop-portal xdg-desktop-portal-wlr xdg-desktop-portal-gtk pipewire grim wtype
  gnome-shell xdg-desktop-portal-gnome libglib2.0-bin
  kwin-wayland xdg-desktop-portal-kde libkf5globalaccel-bin libkf5service-bin qtwayland5 swaybg
  qml-module-qtquick-controls2 qml-module-qtquick-layouts qml-module-org-kde-kirigami2
  qml-module-qtquick2 qml-module-qtquick-window2)

wanted=("${build_packages[@]}")
if [ "${1:-build}" = test ]; then
  wanted+=("${test_packages[@]}")
fi

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "kestrova: installing ${missing[*]}" >&2
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
