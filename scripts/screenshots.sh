#!/usr/bin/env bash
# Starts the server window under Xvfb with a small sample organisation (in a temporary
# folder) and writes PNGs of every page and dialog to docs/screenshots/.
#   scripts/screenshots.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --no-build
for p in xvfb xauth; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$p" >/dev/null
done
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target server_screenshots
mkdir -p docs/screenshots
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
chmod 700 "$runtime"
XDG_RUNTIME_DIR=$runtime QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1280x800x24" build/tests/server/ui/server_screenshots "$PWD/docs/screenshots"
