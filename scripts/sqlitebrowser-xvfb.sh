#!/usr/bin/env bash
# DB Browser for SQLite (Debian sqlitebrowser) with the vexel module loaded, browsing the sample
# film table as a live dBASE table, on a virtual screen; saves a picture of the screen:
#   bash scripts/sqlitebrowser-xvfb.sh OUT.png
# Needs a build ($BUILD_DIR, default build) with vxdbf and vexel_sqlite.so, and sqlitebrowser,
# sqlite3, xvfb and imagemagick. The screen has no window manager, so windows show without frames.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:?usage: sqlitebrowser-xvfb.sh OUT.png}
build=${BUILD_DIR:-build}
vxdbf=$(realpath "$build/tools/vxdbf/vxdbf")
module=$(realpath "$build/sqlite/vexel_sqlite.so")
out_abs=$(realpath -m "$out")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$vxdbf" sample "$work/films.dbf" >/dev/null
"$vxdbf" index "$work/films.dbf" --tag TITLE --key TITLE >/dev/null
# A database file that declares the table; the file name is taken from the database's folder.
sqlite3 "$work/films.db" ".load $module" "CREATE VIRTUAL TABLE films USING vexel('films.dbf');"
export HOME="$work" XDG_CONFIG_HOME="$work/config"
xvfb-run -a -s "-screen 0 1024x640x24" bash -c '
  QT_QPA_PLATFORM=xcb sqlitebrowser -o "extensions/list=$1" -t films "$2" &
  pid=$!
  sleep 8
  import -window root "$3"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
' _ "$module" "$work/films.db" "$out_abs"
echo "saved $out"
