#!/usr/bin/env bash
# Builds the configurator and starts it beside torvik-reader-sim, a simulated reader on a free
# COM name, so that there is always a reader to try it with; the simulator ends with the
# window. The terminal shows the simulator's name and every exchange it has.
#   scripts/run.sh            the configurator and a simulated reader
#   scripts/run.sh --no-sim   the configurator alone
# Tests that start what they have built already set TORVIK_SKIP_BUILD=1 and TORVIK_BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TORVIK_BUILD_DIR:-build}
with_sim=1
args=()
for a in "$@"; do
    if [ "$a" = "--no-sim" ]; then with_sim=0; else args+=("$a"); fi
done

if [ -z "${TORVIK_SKIP_BUILD:-}" ]; then
    source scripts/deps.sh
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target torvik-config torvik-reader-sim
fi

if [ "$with_sim" = 1 ]; then
    log=$(mktemp)
    "$build/tools/torvik-reader-sim" >"$log" 2>&1 &
    sim=$!
    tail_pid=""
    # The clean-up must not change the configurator's exit code: the simulator, and the tail
    # that follows its log, may each have ended already (tail ends by itself once the simulator
    # has gone), and a failing kill here would otherwise end the script with 1 under set -e.
    trap 'status=$?; set +e
          kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null
          [ -n "$tail_pid" ] && kill "$tail_pid" 2>/dev/null
          rm -f "$log"; exit "$status"' EXIT
    name=""
    for _ in $(seq 50); do
        name=$(sed -n 's/^torvik-reader-sim: .* on \(COM[0-9]*\)$/\1/p' "$log" | head -n 1)
        [ -n "$name" ] && break
        kill -0 "$sim" 2>/dev/null || break
        sleep 0.1
    done
    if [ -n "$name" ]; then
        tail -n +1 -f --pid="$sim" "$log" &
        tail_pid=$!
        echo "run.sh: a simulated reader is on $name: pick $name in the port list, then press" \
             "\"Read param\"."
    else
        cat "$log"
        echo "run.sh: the simulated reader did not start; starting the configurator alone."
    fi
fi
"$build/torvik-config" "${args[@]+"${args[@]}"}"
