#!/usr/bin/env bash
# Runs the real browser (an X11 window, not the offscreen renderer) on sample/movie.DBF in TITLE
# order on a virtual screen and saves a picture of that screen; with --demo, the demo program
# on the sample folder instead:
#   bash scripts/screenshot-xvfb.sh OUT.png [--demo]
# Needs the programs built in $BUILD_DIR (default build-main) and sample/movie.DBF with its
# tag TITLE (run-main.sh makes both). The screen has no window manager, so windows show
# without frames. The browser runs with settings of its own, so nothing kept from the user's
# sessions changes the picture.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:?usage: screenshot-xvfb.sh OUT.png [--demo]}
build=${BUILD_DIR:-build-main}
if [ "${2:-}" = --demo ]; then
  program=$build/demo/vexel-demo
  arguments=(sample)
  screen=800x480x24
else
  program=$build/browser/vexel
  arguments=(sample/movie.DBF --tag TITLE)
  screen=1040x600x24
fi
[ -x "$program" ] || { echo "no program at $program: run scripts/run-main.sh first" >&2; exit 1; }
[ -f sample/movie.DBF ] || { echo "no sample/movie.DBF: run scripts/run-main.sh first" >&2; exit 1; }
out_abs=$(realpath -m "$out")
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
XDG_CONFIG_HOME=$config xvfb-run -a -s "-screen 0 $screen" bash -c '
  out="$1"; shift
  QT_QPA_PLATFORM=xcb "$@" &
  pid=$!
  # The window maps within a second or two; give it time to paint.
  sleep 4
  import -window root "$out"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
' _ "$out_abs" "$(realpath "$program")" "${arguments[@]}"
echo "saved $out"
