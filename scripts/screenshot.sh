#!/usr/bin/env bash
# Writes a PNG of the KOVA window, drawn on a virtual X display (Xvfb).
#   scripts/screenshot.sh [--service] [out.png] [build-folder]   (default: build/kova-window.png)
#   scripts/screenshot.sh --views [out.png] [build-folder]   (out-recent.png, out-check.png and
#                                                            out-traffic.png; default: build/kova-recent.png, ...)
#   scripts/screenshot.sh --readme [build-folder]   (the README's and the metainfo's picture:
#                                                    --service into data/screenshots/kova-window.png)
# Plain: the real program, freshly started. --service: the window with the service started,
# proxy "不用代理", a loopback echo target and two relayed clients (drawn by tools/screenshot;
# everything stays on loopback). With --service a picture of the tray menu is
# written next to it (out-menu.png). --views: the recently ended connections after relays that
# ended in different ways through scripted loopback proxies, the check of a server list of
# loopback entries, and the traffic view during a download from a loopback server through the
# window without a proxy (drawn by tools/screenshot as well).
set -euo pipefail
cd "$(dirname "$0")/.."

service=0 readme=0 views=0
if [[ "${1:-}" == "--service" ]]; then service=1; shift; fi
if [[ "${1:-}" == "--views" ]]; then views=1; shift; fi
if [[ "${1:-}" == "--readme" ]]; then
  service=1 readme=1
  shift
  set -- data/screenshots/kova-window.png "${1:-build}"
  mkdir -p data/screenshots
fi
build=${2:-build}
out=$(realpath -m "${1:-$build/kova-window.png}")

for tool in xvfb-run import; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing (run scripts/setup.sh)"; exit 1; }
done

# The scenes: tools/screenshot drives the window itself, with peers of its own on loopback.
if [[ $views -eq 1 || $service -eq 1 ]]; then
  tool="$build/tools/screenshot/kova-screenshot"
  [[ -x "$tool" ]] || { echo "screenshot: $tool is not built"; exit 1; }
  if [[ $views -eq 1 ]]; then
    [[ -n "${1:-}" ]] || out="$(realpath -m "$build")/kova.png"
    pictures=(recent check traffic) scene=views screen=1280x800x24
  else
    pictures=("") scene=window screen=1024x640x24
  fi
  QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 $screen" "$tool" "$scene" "$out" >/dev/null
  for view in "${pictures[@]}"; do
    picture="${out%.png}${view:+-$view}.png"
    [[ -s "$picture" ]] || { echo "screenshot: no picture ${view:+of the $view view }was written"; exit 1; }
    echo "screenshot: $picture"
  done
  [[ $readme -eq 1 ]] && rm -f "${out%.png}-menu.png"
  exit 0
fi

kova="$build/src/app/kova"
[[ -x "$kova" ]] || { echo "screenshot: $kova is not built"; exit 1; }
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
# A private runtime folder: a KOVA already running on this desktop must not make this copy refuse;
# a private state folder keeps its connection log out of the real one.
XDG_RUNTIME_DIR="$runtime" XDG_STATE_HOME="$runtime" xvfb-run -a -s "-screen 0 1024x640x24" bash -c '
  set -euo pipefail
  "$1" & pid=$!
  trap "kill $pid 2>/dev/null; wait $pid 2>/dev/null || true" EXIT
  title="KOVA数据转发服务器 2.0 [松下石灯出品]"
  id=""
  for _ in $(seq 1 100); do
    id=$(xwininfo -root -tree 2>/dev/null | grep -F "\"$title\"" | awk "{print \$1}" | head -n1 || true)
    [[ -n "$id" ]] && break
    sleep 0.1
  done
  [[ -n "$id" ]] || { echo "screenshot: the window did not appear"; exit 1; }
  sleep 1  # let the first paint finish
  import -window "$id" "$2"
' _ "$(realpath "$kova")" "$out"
[[ -s "$out" ]] || { echo "screenshot: no picture was written"; exit 1; }
echo "screenshot: $out"
