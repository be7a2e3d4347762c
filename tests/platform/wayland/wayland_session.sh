#!/usr/bin/env bash
# Runs a test inside a fresh headless Wayland session of one desktop, on one 1920x1080
# output (KESTROVA_SESSION_SIZE=WxH sets another, for benchmarks), with its own session bus, PipeWire and the desktop's screenshot portal:
#   sway   wlroots, read back with grim;
#   gnome  GNOME Shell, with a private system bus (its login-manager code needs one);
#   kde    KWin, with KDE's portal and kglobalaccel.
#
# Usage: wayland_session.sh sway|gnome|kde TEST [FILE…] [-- TEST-ARGUMENT…]
# TEST and the FILEs (the programs it drives) are copied where the session's user can
# read them; the test finds each FILE through an environment variable named after it
# (kestrova → KESTROVA, seat_input → SEAT_INPUT). The desktops refuse to run
# as root, so as root the session runs as nobody.
set -euo pipefail

size=${KESTROVA_SESSION_SIZE:-1920x1080}

# Waits for the compositor's socket; prints its name.
wait_for_socket() { # log
  local socket=
  for _ in $(seq 300); do
    socket=$(find "$XDG_RUNTIME_DIR" -maxdepth 1 -name 'wayland-*' ! -name '*.lock' | head -1)
    [ -n "$socket" ] && break
    sleep 0.1
  done
  if [ -z "$socket" ]; then
    echo "wayland_session: the compositor did not start" >&2
    tail -30 "$1" >&2
    return 1
  fi
  echo "${socket##*/}"
}

start_sway() {
  export WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman
  # With several outputs, headless sway stops redrawing the output that shows a client's
  # cursor over a full-screen window; a cursor hidden when still keeps every output live.
  printf 'output HEADLESS-1 resolution %s position 0 0\nseat seat0 hide_cursor 100\n' "$size" \
    >"$HOME/sway.conf"
  sway -c "$HOME/sway.conf" >"$HOME/compositor.log" 2>&1 &
  children+=($!)
  WAYLAND_DISPLAY=$(wait_for_socket "$HOME/compositor.log")
  export WAYLAND_DISPLAY XDG_CURRENT_DESKTOP=sway
  SWAYSOCK=$(find "$XDG_RUNTIME_DIR" -maxdepth 1 -name 'sway-ipc.*' | head -1)
  export SWAYSOCK
  backends=(wlr gtk)
}

start_gnome() {
  printf '%s' '<busconfig><type>system</type><listen>unix:tmpdir=/tmp</listen>
<auth>EXTERNAL</auth><policy context="default"><allow send_destination="*"/>
<allow receive_sender="*"/>
<allow own="*"/></policy></busconfig>' >"$HOME/system-bus.conf"
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/system_bus_socket
  dbus-daemon --config-file="$HOME/system-bus.conf" --nofork \
    --address="$DBUS_SYSTEM_BUS_ADDRESS" >"$HOME/system-bus.log" 2>&1 &
  children+=($!)
  export XDG_CURRENT_DESKTOP=GNOME
  # The shell's own notifications would cover what the tests read.
  gsettings set org.gnome.desktop.notifications show-banners false
  # Now and then the shell hangs as it starts (a child it has forked waits on a lock
  # and never runs its program, and the shell waits for the child): started again then.
  local shell attempt
  for attempt in 1 2 3; do
    gnome-shell --headless --wayland --no-x11 --virtual-monitor "$size" \
      --wayland-display wayland-0 >"$HOME/compositor.log" 2>&1 &
    shell=$!
    for _ in $(seq 150); do
      grep -q 'GNOME Shell started' "$HOME/compositor.log" && break 2
      sleep 0.1
    done
    echo "wayland_session: GNOME Shell did not start (attempt $attempt)" >&2
    pkill -KILL -P "$shell" 2>/dev/null || true
    kill -KILL "$shell" 2>/dev/null || true
    wait "$shell" 2>/dev/null || true
    rm -f "$XDG_RUNTIME_DIR"/wayland-0 "$XDG_RUNTIME_DIR"/wayland-0.lock
  done
  children+=("$shell")
  WAYLAND_DISPLAY=$(wait_for_socket "$HOME/compositor.log")
  export WAYLAND_DISPLAY
  backends=(gnome gtk)
}

start_kde() { # test program
  # The packaged kwin_wayland carries a file capability that exec refuses in containers.
  cp /usr/bin/kwin_wayland "$HOME/kwin_wayland"
  export XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5
  # KWin lets a program take screenshots through it, or inject input, when an installed
  # desktop entry names the program and the interface: kestrova and the test that reads
  # the screen, and the test's input device.
  mkdir -p "$HOME/.local/share/applications"
  local program
  for program in "$KESTROVA" "$1" "${SEAT_INPUT:-}"; do
    [ -n "$program" ] || continue
    printf '[Desktop Entry]\nType=Application\nName=%s\nExec=%s\n%s\n' \
      "$(basename "$program")" "$program" \
      "$([ "$program" = "${SEAT_INPUT:-}" ] &&
        echo X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input ||
        echo X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2)" \
      >"$HOME/.local/share/applications/$(basename "$program").desktop"
  done
  kbuildsycoca5 >/dev/null 2>&1
  "$HOME/kwin_wayland" --virtual --width "${size%x*}" --height "${size#*x}" --no-lockscreen \
    --socket wayland-0 >"$HOME/compositor.log" 2>&1 &
  children+=($!)
  WAYLAND_DISPLAY=$(wait_for_socket "$HOME/compositor.log")
  # The KDE portal is a Qt 5 program, which would look for an X server otherwise.
  export WAYLAND_DISPLAY QT_QPA_PLATFORM=wayland
  dbus-update-activation-environment QT_QPA_PLATFORM
  backends=(kde)
}

if [ "${1:-}" = --inside ]; then
  shift
  desktop=$1
  shift
  children=()
  cleanup() {
    for child in "${children[@]}"; do kill "$child" 2>/dev/null || true; done
    wait 2>/dev/null || true
  }
  trap cleanup EXIT
  export XDG_SESSION_TYPE=wayland
  "start_$desktop" "$1"
  # Only the backends this desktop uses (its own, and GTK's for the rest): with other
  # desktops' installed, the portal may try theirs first (KDE's aborts without its own
  # session).
  mkdir -p "$HOME/portals"
  for backend in "${backends[@]}"; do
    cp "/usr/share/xdg-desktop-portal/portals/$backend.portal" "$HOME/portals/" 2>/dev/null || true
  done
  export XDG_DESKTOP_PORTAL_DIR=$HOME/portals
  dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP SWAYSOCK \
    DBUS_SYSTEM_BUS_ADDRESS \
    XDG_DESKTOP_PORTAL_DIR
  # The wlroots portal exits at once without PipeWire.
  pipewire >"$HOME/pipewire.log" 2>&1 &
  children+=($!)
  status=0
  "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "--- $desktop log" >&2
    tail -20 "$HOME/compositor.log" >&2
  fi
  exit "$status"
fi

desktop=$1
test_program=$2
shift 2
work=$(mktemp -d /tmp/kestrova-wayland.XXXXXX)
# The document portal may have mounted its folder in the session's runtime folder:
# unmount it first, or the folder cannot be removed.
trap 'fusermount3 -u -z "$work/runtime/doc" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/home" "$work/runtime"
cp "$test_program" "$work/bin/"
environment=()
while [ $# -gt 0 ]; do
  file=$1
  shift
  [ "$file" = -- ] && break
  cp "$file" "$work/bin/"
  # kestrova's launcher loads the rest of kestrova from beside itself.
  for library in libkestrova_program.so libkestrova_quickshot.so; do
    [ -f "$(dirname "$file")/$library" ] && cp "$(dirname "$file")/$library" "$work/bin/"
  done
  name=$(basename "$file" | tr '[:lower:]' '[:upper:]')
  environment+=("$name=$work/bin/$(basename "$file")")
done
# Sanitizer settings pass through; a suppression file moves along with the programs.
# Leak checking stays off in the session: Qt's Wayland platform leaves its protocol
# objects to the process's end and unloads the graphics driver it loaded, so what
# remains cannot be told apart or traced. The portal code is leak-checked by its own
# tests, in-process.
for variable in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
  value=${!variable:-}
  [ "$variable" = ASAN_OPTIONS ] && value=${value//detect_leaks=1/detect_leaks=0}
  if [[ $value == *suppressions=* ]]; then
    supp=${value#*suppressions=}
    supp=${supp%%:*}
    cp "$supp" "$work/bin/"
    value=${value/$supp/$work/bin/$(basename "$supp")}
  fi
  [ -n "$value" ] && environment+=("$variable=$value")
done
# A capture route chosen for kestrova passes through too, and so do the benchmark's
# output size and screen picture (copied where the session's user can read it).
[ -n "${KESTROVA_CAPTURE:-}" ] && environment+=("KESTROVA_CAPTURE=$KESTROVA_CAPTURE")
[ -n "${KESTROVA_SESSION_SIZE:-}" ] && environment+=("KESTROVA_SESSION_SIZE=$KESTROVA_SESSION_SIZE")
if [ -n "${KESTROVA_BENCH_SCREEN:-}" ]; then
  cp "$KESTROVA_BENCH_SCREEN" "$work/bin/screen.png"
  environment+=("KESTROVA_BENCH_SCREEN=$work/bin/screen.png")
fi
chmod 755 "$work" "$work/bin"
chmod 700 "$work/runtime"

run=(env -i "PATH=/usr/local/bin:/usr/bin:/bin" "HOME=$work/home" "XDG_RUNTIME_DIR=$work/runtime"
  "XDG_CONFIG_HOME=$work/home/config" "LANG=C.UTF-8" "${environment[@]}"
  dbus-run-session -- "$0" --inside "$desktop" "$work/bin/$(basename "$test_program")" "$@")
if [ "$(id -u)" -eq 0 ]; then
  cp "$0" "$work/bin/wayland_session.sh"
  run[${#run[@]} - 4 - $#]="$work/bin/wayland_session.sh"
  chown -R nobody:nogroup "$work/home" "$work/runtime"
  # The wlroots portal writes its picture to a fixed name: one left by an earlier run
  # of this user must not stand in the way.
  find /tmp -maxdepth 1 -name out.png -user nobody -delete
  setpriv --reuid=nobody --regid=nogroup --clear-groups "${run[@]}"
else
  "${run[@]}"
fi
