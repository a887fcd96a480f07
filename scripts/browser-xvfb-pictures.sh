#!/usr/bin/env bash
# Makes docs/BROWSER.md's pictures of the browser from the real program (an X11 window, not the
# offscreen renderer) on a virtual screen: docs/browser-sorted.png (the film table sorted by
# YEAR, descending, without a tag, and filtered to Hitchcock's films after 1950),
# docs/browser-form.png (the record form beside the grid) and docs/browser-structure.png (the
# structure view). The screen has no window manager, so windows show without frames.
# Usage: scripts/browser-xvfb-pictures.sh [BUILD_DIR]   (after building vexel and film_table_maker)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$build/tests/browser/film_table_maker" "$work" >/dev/null
vexel="$(realpath "$build/browser/vexel")"

# picture OUT.png CROP VEXEL-OPTIONS...   (CROP: WxH+X+Y of the screen; the main window
# window's client area stands at 124,113 and is 892 x 453; the structure view opens over it
# and above it)
picture() {
  local name out crop
  name="$1"
  out="$(realpath -m "$1")"
  crop="$2"
  shift 2
  # Settings of a session of its own: nothing the user keeps changes the picture.
  XDG_CONFIG_HOME="$work/config" xvfb-run -a -s "-screen 0 1040x600x24" bash -c '
    out="$1"; crop="$2"; shift 2
    QT_QPA_PLATFORM=xcb "$@" &
    pid=$!
    # The window maps within a second or two; give it time to paint.
    sleep 4
    import -window root -crop "$crop" +repage "$out"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
  ' _ "$out" "$crop" "$vexel" "$@"
  echo "wrote $name"
}

picture docs/browser-sorted.png 892x453+124+113 "$work/films.DBF" --sort YEAR:descending \
  --filter 'YEAR > 1950 .AND. "Hitch" $ DIRECTOR'
picture docs/browser-form.png 892x453+124+113 "$work/films.DBF" --tag TITLE --seek Ma --form
picture docs/browser-structure.png 892x507+124+60 "$work/films.DBF" --structure
