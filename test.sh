#!/bin/sh
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test.
set -eu
cd "$(dirname "$0")"

if [ "$(id -u)" = 0 ]; then
  ./tools/install-deps.sh
fi

BUILD=${BUILD_DIR:-build/asan}
JOBS=${JOBS:-$(nproc)}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAPPLIANCE_SANITIZE=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$BUILD"
ctest --output-on-failure -j "$JOBS" "$@"
