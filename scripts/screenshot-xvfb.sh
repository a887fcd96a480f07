#!/usr/bin/env bash
# Runs the real demo program (an X11 window, not the offscreen renderer) on a virtual screen and
# saves a picture of that screen: bash scripts/screenshot-xvfb.sh OUT.png [--memo-open]
# Needs a built demo ($BUILD_DIR, default build-main) and sample/movie.DBF (run-main.sh makes
# both). The screen has no window manager, so windows show without frames.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:?usage: screenshot-xvfb.sh OUT.png}
demo=${BUILD_DIR:-build-main}/demo/vexel-demo
[ -x "$demo" ] || { echo "no demo program at $demo: run scripts/run-main.sh first" >&2; exit 1; }
[ -f sample/movie.DBF ] || { echo "no sample/movie.DBF: run scripts/run-main.sh first" >&2; exit 1; }
out_abs=$(realpath -m "$out")
xvfb-run -a -s "-screen 0 800x480x24" bash -c '
  QT_QPA_PLATFORM=xcb "$1" sample &
  pid=$!
  # The window maps within a second or two; give it time to paint.
  sleep 4
  import -window root "$2"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
' _ "$(realpath "$demo")" "$out_abs"
echo "saved $out"
