#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer) and runs
# each from its seed corpus.
#   scripts/fuzz.sh                 every target for 10 s (what CI does)
#   scripts/fuzz.sh 600             every target for 600 s
#   scripts/fuzz.sh runs 10000000   every target for ten million executions
# New inputs go to build-fuzz/corpus/<target>/, a failing input to build-fuzz/artifacts/<target>/;
# the seeds in tests/fuzz/corpus/ stay as they are.
set -euo pipefail
cd "$(dirname "$0")/.."
TORVIK_EXTRA_PACKAGES="clang libclang-rt-14-dev" source scripts/deps.sh

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DTORVIK_FUZZ=ON -DTORVIK_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz --target fuzz_command_reply fuzz_boot_reply fuzz_image fuzz_escaping \
    fuzz_settings_file

limit=(-max_total_time="${1:-10}")
[ "${1:-}" = "runs" ] && limit=(-runs="$2")
export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/fuzz/lsan.supp:print_suppressions=0"
for t in fuzz_command_reply fuzz_boot_reply fuzz_image fuzz_escaping fuzz_settings_file; do
    mkdir -p "build-fuzz/corpus/$t" "build-fuzz/artifacts/$t"
    echo "== $t"
    rc=0
    # A settings file is a page of JSON; the replies and images are short.
    max=600
    [ "$t" = fuzz_settings_file ] && max=4096
    "./build-fuzz/tests/fuzz/$t" "${limit[@]}" -max_len="$max" -print_final_stats=1 \
        -artifact_prefix="build-fuzz/artifacts/$t/" \
        "build-fuzz/corpus/$t" "tests/fuzz/corpus/$t" >"build-fuzz/$t.log" 2>&1 || rc=$?
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|Done|==.*ERROR|SUMMARY)" \
        "build-fuzz/$t.log" || true
    if [ "$rc" -ne 0 ]; then
        tail -n 40 "build-fuzz/$t.log"
        echo "$t failed (exit $rc)"
        exit 1
    fi
done
