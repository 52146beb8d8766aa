#!/usr/bin/env bash
# Renders the program icon's PNGs (hicolor theme sizes) from its one SVG source. The PNGs are
# checked in, so the build needs no SVG renderer; run this after editing the SVG.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v rsvg-convert >/dev/null || { echo "export-icons: rsvg-convert is missing (apt install librsvg2-bin)"; exit 1; }
src=data/icons/hicolor/scalable/apps/kova.svg
for size in 16 24 32 48 64 128 256; do
  out=data/icons/hicolor/${size}x${size}/apps/kova.png
  mkdir -p "$(dirname "$out")"
  rsvg-convert -w "$size" -h "$size" -o "$out" "$src"
  echo "export-icons: $out"
done
