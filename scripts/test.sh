#!/usr/bin/env bash
# Builds kestrova and runs the whole test suite (installing Debian packages when
# missing). Starts its own X server, window manager, tray and session bus, and stops
# them by process id when done. Warnings are errors when CI is set.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
"$root/scripts/deps.sh" test

werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVA_WERROR=$werror >/dev/null
cmake --build "$build" -j"$(nproc)"

scratch=$(mktemp -d /tmp/kestrova-test.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

# A free display number.
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 1920x1200x24 -noreset -nolisten tcp >"$scratch/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  [ -e "/tmp/.X11-unix/X$display" ] && break
  sleep 0.1
done
if ! [ -e "/tmp/.X11-unix/X$display" ]; then
  echo "kestrova: Xvfb did not start" >&2
  cat "$scratch/xvfb.log" >&2
  exit 1
fi

mkdir -p "$scratch/home" "$scratch/config" "$scratch/runtime"
chmod 700 "$scratch/runtime"
export DISPLAY=":$display" HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config"
export XDG_RUNTIME_DIR="$scratch/runtime" QT_QPA_PLATFORMTHEME=""
unset WAYLAND_DISPLAY

bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$(echo "$bus" | sed -n 1p)
pids+=("$(echo "$bus" | sed -n 2p)")
openbox >"$scratch/openbox.log" 2>&1 &
pids+=($!)
trayer --edge top --align right --widthtype pixel --width 200 --height 32 \
  >"$scratch/trayer.log" 2>&1 &
pids+=($!)
sleep 1

cd "$build"
ctest --output-on-failure -j2 --timeout 300 "$@"
