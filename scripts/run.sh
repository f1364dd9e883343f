#!/usr/bin/env bash
# Builds the configurator and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target torvik-config
exec ./build/torvik-config "$@"
