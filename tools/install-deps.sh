#!/bin/sh
# Installs the Debian packages that building, running and testing need.
# Idempotent: apt-get runs only when a package is missing.
set -eu

PACKAGES="
build-essential cmake ninja-build pkg-config
googletest libgtest-dev libgmock-dev libbenchmark-dev
libssl-dev openssl
gettext
iproute2 procps psmisc socat curl util-linux mount
usb.ids
libfuse3-dev fuse3 e2fsprogs
python3
"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $p"
  fi
done

if [ -n "$missing" ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
fi
