#!/usr/bin/env bash
# Builds kestrova (installing its Debian packages when missing) and starts it.
# Arguments are passed on, e.g. scripts/run.sh --capture
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" build
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target kestrova -j"$(nproc)"
exec "$root/build/src/kestrova" "$@"
