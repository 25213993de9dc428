#!/bin/sh
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test (labels unit, netns, e2e);
# then builds once more with ThreadSanitizer and runs the concurrency stress
# tests (suites named *Stress) there. Extra arguments go to the first ctest.
set -eu
cd "$(dirname "$0")"

if [ "$(id -u)" = 0 ]; then
  ./tools/install-deps.sh
fi

JOBS=${JOBS:-$(nproc)}
configure_and_build() {
  dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAPPLIANCE_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

configure_and_build build/asan -DAPPLIANCE_SANITIZE=ON
(cd build/asan && ctest --output-on-failure -j "$JOBS" "$@")

# Only the test programs that hold stress suites are built again.
stress_targets() {
  (cd build/asan && ctest -N -R 'Stress' --show-only=json-v1) | python3 -c '
import json, os, sys
tests = json.load(sys.stdin).get("tests", [])
print(" ".join(sorted({os.path.basename(t["command"][0]) for t in tests if t.get("command")})))'
}

if [ "${SKIP_TSAN:-0}" != 1 ]; then
  targets=$(stress_targets)
  if [ -n "$targets" ]; then
    cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAPPLIANCE_BENCH=OFF -DAPPLIANCE_TSAN=ON >/dev/null
    # shellcheck disable=SC2086
    cmake --build build/tsan -j "$JOBS" --target $targets
    (cd build/tsan && ctest --output-on-failure -j "$JOBS" -R 'Stress' --no-tests=ignore)
  fi
fi
