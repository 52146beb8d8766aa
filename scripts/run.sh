#!/usr/bin/env bash
# With a display: opens the window. Without one (a server, a container): runs the relay headless
# in the foreground until Ctrl-C, listening on LISTEN (127.0.0.1) port PORT (1080), relaying to
# TARGETS ("host:port,..."), with any further kova-relay options from RELAY_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
  [[ -x build/src/app/kova ]] || { echo "run: the window is not built yet (make build)"; exit 1; }
  exec build/src/app/kova
fi
relay=build/src/app/kova-relay
[[ -x $relay ]] || { echo "run: $relay is not built yet (make build)"; exit 1; }
if [[ -z "${TARGETS:-}" ]]; then
  cat >&2 <<'HOWTO'
run: no display, so the relay runs headless; tell it where to relay with TARGETS, e.g.
  make run TARGETS=192.0.2.10:80
  make run TARGETS=192.0.2.10:22,192.0.2.11:22 LISTEN=0.0.0.0 PORT=2222 RELAY_ARGS="--idle 30"
LISTEN (default 127.0.0.1) and PORT (default 1080) choose where it listens; RELAY_ARGS takes
further options (see build/src/app/kova-relay --help). Ctrl-C ends it.
HOWTO
  exit 2
fi
read -r -a extra <<<"${RELAY_ARGS:-}"
echo "run: no display; relaying headless to $TARGETS (Ctrl-C ends it)"
exec "$relay" --listen-address "${LISTEN:-127.0.0.1}" --port "${PORT:-1080}" --servers "$TARGETS" "${extra[@]}"
