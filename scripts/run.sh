#!/usr/bin/env bash
# Opens the window; without a display it says so and exits.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ! -x build/src/app/kova ]]; then
  echo "run: the window is not built yet"; exit 0
fi
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "run: no display (DISPLAY is not set); try scripts/screenshot.sh for a picture of the window"; exit 0
fi
exec build/src/app/kova
