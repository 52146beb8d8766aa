#!/usr/bin/env bash
# The socket layer and the relay engine must not depend on Qt: fail if their link lines name it.
set -euo pipefail
dir=${1:-build}
bad=0
for t in kova_net kova_engine kova-relay kova_net_tests kova_engine_tests; do
  for f in $(find "$dir" -path "*${t}.dir*" \( -name link.txt -o -name flags.make \) 2>/dev/null) ; do
    if grep -qi 'qt6\|libQt' "$f"; then echo "check-no-qt: $t mentions Qt in $f"; bad=1; fi
  done
done
if [[ -f "$dir/build.ninja" ]]; then
  # Ninja keeps link commands in build.ninja: look at the rules of the Qt-free targets.
  if awk '/^build (src\/(net|engine)\/|tests\/kova_(net|engine)_tests|src\/app\/(kova-relay|CMakeFiles\/kova-relay\.dir\/))/{p=1} /^$/{p=0} p' "$dir/build.ninja" | grep -qi 'libQt6\|Qt6::'; then
    echo "check-no-qt: a Qt-free target links Qt"; bad=1
  fi
fi
if grep -rl --include='*.h' --include='*.cpp' -E '#include *<Q' src/net src/engine src/app/kova-relay >/dev/null 2>&1; then
  echo "check-no-qt: a Qt header is included in src/net, src/engine or src/app/kova-relay"; bad=1
fi
exit $bad
