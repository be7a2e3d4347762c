#!/usr/bin/env bash
# Builds kestrova and runs the whole test suite (installing Debian packages when
# missing). Starts its own X servers, window manager, tray and session bus, and stops
# them by process id when done. Arguments go to ctest (e.g. -R tst_settings).
#
# With CI set, warnings are errors, and the suite runs a second time built with
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" test

# The tree has one format; a change that breaks it fails here, before anything builds.
(cd "$root" && git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run -Werror)

werror=OFF
[ -n "${CI:-}" ] && werror=ON
build() { # folder, extra cmake arguments…
  local folder=$1
  shift
  cmake -S "$root" -B "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVA_WERROR=$werror \
    "$@" >/dev/null
  cmake --build "$folder" -j"$(nproc)"
}
build "$root/build"

scratch=$(mktemp -d /tmp/kestrova-test.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

# Starts Xvfb on a free display with a window manager and a tray; prints the display.
start_display() { # extra Xvfb arguments…
  local display=90
  while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
  done
  Xvfb ":$display" -screen 0 1920x1200x24 -noreset -nolisten tcp "$@" \
    >"$scratch/xvfb$display.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.1
  done
  if ! [ -e "/tmp/.X11-unix/X$display" ]; then
    echo "kestrova: Xvfb did not start" >&2
    cat "$scratch/xvfb$display.log" >&2
    exit 1
  fi
  DISPLAY=":$display" openbox >"$scratch/openbox$display.log" 2>&1 &
  pids+=($!)
  DISPLAY=":$display" trayer --edge top --align right --widthtype pixel --width 200 \
    --height 32 >"$scratch/trayer$display.log" 2>&1 &
  pids+=($!)
  started_display=":$display"
}

mkdir -p "$scratch/home" "$scratch/config" "$scratch/runtime"
chmod 700 "$scratch/runtime"
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config"
export XDG_RUNTIME_DIR="$scratch/runtime" QT_QPA_PLATFORMTHEME=""
unset WAYLAND_DISPLAY

bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$(echo "$bus" | sed -n 1p)
pids+=("$(echo "$bus" | sed -n 2p)")

start_display
export DISPLAY=$started_display
# SSH forwarding, VNC and nested servers often lack shared memory: capture must work there.
start_display -extension MIT-SHM
plain_display=$started_display
sleep 1

cd "$root/build"
ctest --output-on-failure -j2 --timeout 300 "$@"
# The capture tests and the end-to-end test again, on the server without MIT-SHM.
DISPLAY=$plain_display ctest --output-on-failure --timeout 300 -L capture "$@"

if [ -n "${CI:-}" ]; then
  # -O1 -g1: what the sanitizers are meant for, with line numbers in reports, and
  # minutes quicker to build than full debug information.
  build "$root/build-sanitize" -DKESTROVA_SANITIZE=ON -DKESTROVA_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
  export LSAN_OPTIONS=suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  cd "$root/build-sanitize"
  ctest --output-on-failure -j2 --timeout 600 "$@"
fi
