#!/usr/bin/env bash
# Makes the pictures of the browser in the README and docs/BROWSER.md from the real program (an
# X11 window, not the offscreen renderer) on a virtual screen:
#   docs/browser.png            the film table in TITLE order with "Ma" typed into the search
#                               field, while another program holds the lock of "Malcolm X"
#   docs/browser-sorted.png     sorted by YEAR, descending, without a tag, and filtered to
#                               Hitchcock's films after 1950
#   docs/browser-form.png       the record form beside the grid
#   docs/browser-structure.png  the structure view
#   docs/browser-settings.png   Tools > Settings
#   docs/browser-query.png      Tools > Query with a join of the films and a second table
#   docs/browser-alter.png      Table > Change structure: the field-list editor over the films
#   docs/browser-import.png     Table > Import rows with a CSV file named
# The screen has no window manager, so windows show without frames.
# Usage: scripts/browser-xvfb-pictures.sh [BUILD_DIR]   (after building vexel and film_table_maker)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
work="$(mktemp -d)"
locker=""
trap '[ -n "$locker" ] && kill "$locker" 2>/dev/null; rm -rf "$work"' EXIT
"$build/tests/browser/film_table_maker" "$work" >/dev/null
vexel="$(realpath "$build/browser/vexel")"

# picture OUT.png CROP VEXEL-OPTIONS...   (CROP: WxH+X+Y of the screen; the main window's
# client area stands at 124,113 and is 892 x 453; the settings dialog opens over it, the
# query window at 180,39)
picture() {
  local name out crop
  name="$1"
  out="$(realpath -m "$1")"
  crop="$2"
  shift 2
  # Settings of a session of its own: nothing the user keeps changes the picture.
  rm -rf "$work/config"
  XDG_CONFIG_HOME="$work/config" xvfb-run -a -s "-screen 0 1040x600x24" bash -c '
    out="$1"; crop="$2"; shift 2
    # Files named without a folder are the work folder'\''s.
    cd "$(dirname "$2")"
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

# Record 19 of films.DBF is held by another program (a Python helper): lock base 0x40000000 +
# header 257 + 18 records of 67 bytes.
python3 - "$work/films.DBF" <<'PY' &
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR)
fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB, 67, 0x40000000 + 257 + 18 * 67)
open(sys.argv[1] + ".locked", "w").close()
time.sleep(60)
PY
locker=$!
for _ in $(seq 100); do [ -e "$work/films.DBF.locked" ] && break; sleep 0.1; done
picture docs/browser.png 892x453+124+113 "$work/films.DBF" --tag TITLE --seek Ma
kill "$locker" 2>/dev/null || true
locker=""

picture docs/browser-sorted.png 892x453+124+113 "$work/films.DBF" --sort YEAR:descending \
  --filter 'YEAR > 1950 .AND. "Hitch" $ DIRECTOR'
picture docs/browser-form.png 892x453+124+113 "$work/films.DBF" --tag TITLE --seek Ma --form
picture docs/browser-structure.png 892x507+124+60 "$work/films.DBF" --structure
picture docs/browser-settings.png 892x453+124+113 "$work/films.DBF" --settings

# A second table beside the films for the query's join.
"$build/tools/vxdbf/vxdbf" create "$work/AWARDS.DBF" --field TITLE,C,30,0 --field AWARD,C,30,0 \
  --field YEAR,N,4,0 >/dev/null
printf '%s\n' 'TITLE,AWARD,YEAR' 'Casablanca,Best Picture,1944' 'Rebecca,Best Picture,1941' \
  'Vertigo,Saturn Award,1958' 'Psycho,Edgar Award,1961' |
  "$build/tools/vxdbf/vxdbf" append "$work/AWARDS.DBF" --format csv >/dev/null
picture docs/browser-query.png 760x520+180+39 "$work/films.DBF" --query \
  "SELECT f.TITLE, f.DIRECTOR, a.AWARD, a.YEAR
FROM films f JOIN AWARDS a ON trim(a.TITLE) = trim(f.TITLE)
ORDER BY a.YEAR"

picture docs/browser-alter.png 892x480+124+86 "$work/films.DBF" --alter
printf '%s\r\n' 'TITLE,YEAR,DIRECTOR,COLOR' 'Rope,1948,Alfred Hitchcock,T' \
  '"Lady Vanishes, The",1938,Alfred Hitchcock,F' 'Notorious,1946,Alfred Hitchcock,F' \
  'Spellbound,1945,Alfred Hitchcock,F' >"$work/hitchcock.csv"
picture docs/browser-import.png 892x480+124+86 "$work/films.DBF" --import hitchcock.csv
