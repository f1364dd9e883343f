#!/usr/bin/env bash
# Builds everything and runs every test.
#   scripts/test.sh              the ordinary build, in build/
#   scripts/test.sh --sanitize   with AddressSanitizer and UndefinedBehaviorSanitizer, in
#                                build-sanitize/; any report fails the run
#   scripts/test.sh [--sanitize] --repeat N
#                                only the tests that drive a real window, a real program, a
#                                signal or many threads, N times in a row at CI's parallelism,
#                                stopping at the first failure: the check that they never fail by
#                                chance (and, with --sanitize, that the threads never make a report)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh

dir=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
repeat=""
# Most of the suite's time is the reader's real time-outs and the boot loader's fixed waits, not
# CPU: three test programs a core keep the cores busy while the others wait. Under the
# sanitizers the programs are CPU-bound, and one a core is what the cores can take.
jobs=$(($(nproc) * 3))
while [ $# -gt 0 ]; do
    case "$1" in
    --sanitize)
        dir=build-sanitize
        flags=(-DCMAKE_BUILD_TYPE=Debug -DTORVIK_SANITIZE=ON)
        export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1"
        export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
        export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
        jobs=$(nproc)
        ;;
    --repeat)
        repeat=${2:?--repeat takes a count}
        shift
        ;;
    *)
        echo "test.sh: unknown argument '$1' (see the comment at the top of scripts/test.sh)" >&2
        exit 2
        ;;
    esac
    shift
done

cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir"
cd "$dir"
export QT_QPA_PLATFORM=offscreen
if [ -n "$repeat" ]; then
    ctest --output-on-failure --timeout 120 -j "$jobs" --repeat "until-fail:$repeat" \
        -R 'Signal|RunScript|Unplug|PortList|LockFile|Cli|Sim|Programs|Xvfb|Desk|Refresh|SeveralPorts|Watch|BenchUnderFaults|ManyThreads|Ser2net\.|Rfc2217|BenchWindow'
else
    ctest --output-on-failure --timeout 120 -j "$jobs"
fi
