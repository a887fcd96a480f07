#!/usr/bin/env bash
# Makes docs/browser.png: the browser on a film table in TITLE order with "Ma" typed into the
# search field, while another program (a Python helper) holds the lock of "Malcolm X".
# Usage: scripts/browser-picture.sh [BUILD_DIR]   (after building vexel and film_table_maker)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
work="$(mktemp -d)"
trap 'kill "$locker" 2>/dev/null || true; rm -rf "$work"' EXIT
"$build/tests/browser/film_table_maker" "$work" >/dev/null
# Record 19 of films.DBF: lock base 0x40000000 + header 257 + 18 records of 67 bytes.
python3 - "$work/films.DBF" <<'PY' &
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR)
fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB, 67, 0x40000000 + 257 + 18 * 67)
open(sys.argv[1] + ".locked", "w").close()
time.sleep(60)
PY
locker=$!
for _ in $(seq 100); do [ -e "$work/films.DBF.locked" ] && break; sleep 0.1; done
"$build/browser/vexel" --screenshot docs/browser.png "$work/films.DBF" --tag TITLE --seek Ma
echo "wrote docs/browser.png"
