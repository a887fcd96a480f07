#!/usr/bin/env bash
# Installs what is missing, builds, and starts the browser vexel on the sample film table
# (sample/movie.DBF, created with twenty films when it is missing, with a tag TITLE on
# UPPER(TITLE) so that typing into the search field finds a film). Without a display the browser
# runs under Xvfb instead: a picture of its screen is saved to sample/screen.png.
#   bash scripts/run-main.sh          the browser
#   bash scripts/run-main.sh --demo   the demo's film form instead (vexel-demo)
set -euo pipefail
cd "$(dirname "$0")/.."
program=browser
case "${1:-}" in
  --demo) program=demo ;;
  "") ;;
  *) echo "usage: bash scripts/run-main.sh [--demo]" >&2; exit 2 ;;
esac
bash scripts/install-deps.sh
export BUILD_DIR=${BUILD_DIR:-build-main}
bash scripts/build.sh -DVX_BUILD_TESTS=OFF -DVX_BUILD_BENCH=OFF
vxdbf=$BUILD_DIR/tools/vxdbf/vxdbf
mkdir -p sample
if [ ! -f sample/movie.DBF ]; then
  "$vxdbf" sample sample/movie.DBF
fi
if ! "$vxdbf" tags sample/movie.DBF 2>/dev/null | grep -q '^TITLE '; then
  "$vxdbf" index sample/movie.DBF --tag TITLE --key 'UPPER(TITLE)'
fi
"$vxdbf" info sample/movie.DBF
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  if [ "$program" = demo ]; then
    exec "$BUILD_DIR/demo/vexel-demo" sample
  fi
  exec "$BUILD_DIR/browser/vexel" sample/movie.DBF --tag TITLE
fi
echo "No display: running the $program under Xvfb and saving its screen to sample/screen.png"
if [ "$program" = demo ]; then
  bash scripts/screenshot-xvfb.sh sample/screen.png --demo
else
  bash scripts/screenshot-xvfb.sh sample/screen.png
fi
