#!/bin/sh
# Installs what is missing, builds, and starts the simulated appliance with
# simulated USB devices plugged in (in a network namespace of its own; it
# prints how to reach it). Ctrl-C stops it. Options go to the launcher:
#   ./run.sh [--profile basic4|managed20] [--fresh]
set -eu
cd "$(dirname "$0")"

if [ "$(id -u)" != 0 ]; then
  echo "run.sh: run as root (network namespaces, device simulation)" >&2
  exit 1
fi
./tools/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPPLIANCE_BENCH=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target appliance simctl usbclient_cli
exec ./tools/launcher/appliance-sim up "$@"
