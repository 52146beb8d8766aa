#!/usr/bin/env bash
# Installs everything the build, the program and the tests need. Idempotent: when every
# package is present it installs nothing. `scripts/setup.sh bench` adds the benchmark peers.
set -euo pipefail

packages=(
  # build; kova-relay's option parser and its readiness report to systemd
  g++ cmake ninja-build make pkg-config libcli11-dev libsystemd-dev
  # tests
  libgtest-dev libgmock-dev
  # fuzz targets: clang and its fuzzer and sanitizer runtime (the version clang has on Debian 12)
  clang libclang-rt-14-dev
  # the window (the traffic graph's charts need the OpenGL module's CMake files)
  qt6-base-dev qt6-base-dev-tools qt6-charts-dev libqt6opengl6-dev qt6-translations-l10n libgl-dev fonts-noto-cjk
  # headless display for GUI tests, screenshots and `make run` without a desktop
  xvfb xauth x11-apps x11-utils imagemagick
  # real proxy peers of the socket and relay tests
  microsocks dante-server tinyproxy
  # manual pages, the Debian package and its checks (desktop entry, metainfo, lintian, loopback
  # peers in python3); librsvg2-bin only for scripts/export-icons.sh
  help2man dpkg-dev fakeroot file desktop-file-utils appstream lintian python3 librsvg2-bin
  # systemd-analyze verify for the service unit
  systemd
)
if [[ "${1:-}" == "bench" ]]; then
  packages+=(iperf3 redis-server redis-tools socat rinetd haproxy procps proxychains4 python3 iproute2 strace linux-perf)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing ${missing[*]}"
SUDO=""
[[ $(id -u) -ne 0 ]] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# Packaged daemons must not start on install: the tests start their own copies on free ports.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee $policy >/dev/null && $SUDO chmod +x $policy && made_policy=1
fi
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
[[ $made_policy -eq 1 ]] && $SUDO rm -f $policy
exit 0
