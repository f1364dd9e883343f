#!/usr/bin/env bash
# Builds the configurator and starts it. On a machine with no serial port that can be opened,
# a simulated reader is started beside it on a free COM name, and ends with the window.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target torvik-config torvik-reader-sim

sim=""
if ! ./build/tools/torvik-reader-sim --check-ports >/dev/null; then
    echo "No serial port can be opened here: starting a simulated reader."
    ./build/tools/torvik-reader-sim &
    sim=$!
    trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null' EXIT
    sleep 0.5
fi
./build/torvik-config "$@"
