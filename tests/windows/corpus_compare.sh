#!/usr/bin/env bash
# The Linux and the Windows vxdbf over the tables of the corpus: info, dump and check must print
# the same bytes, and append and index on copies of each table must leave the same files.
#   corpus_compare.sh LINUX_VXDBF WINDOWS_VXDBF WINE CORPUS [EVERY_NTH]
# EVERY_NTH (default 1) takes every n-th table, for a shorter run.
set -uo pipefail
lin_vxdbf=$1 win_vxdbf=$2 wine=$3 corpus=$4 every=${5:-1}
export WINEDEBUG=-all
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tables=0 differences=0 n=0

same() {  # same WHAT COMMAND...: runs the command with both programs and compares the output
  local what=$1
  shift
  "$lin_vxdbf" "$@" >"$work/lin" 2>&1 </dev/null
  echo "exit $?" >>"$work/lin"
  "$wine" "$win_vxdbf" "$@" >"$work/win" 2>&1 </dev/null
  echo "exit $?" >>"$work/win"
  if ! cmp -s "$work/lin" "$work/win"; then
    echo "DIFFERS: $what"
    diff "$work/lin" "$work/win" | head -8 | sed 's/^/    /'
    differences=$((differences + 1))
  fi
}

# copy TABLE DIR: the table and the files of its stem (memo, index) into DIR.
copy() {
  rm -rf "$2" && mkdir -p "$2"
  local stem
  stem=$(basename "$1")
  stem=${stem%.*}
  find "$(dirname "$1")" -maxdepth 1 -type f -iname "$stem.*" -exec cp {} "$2/" \;
}

while IFS= read -r table; do
  n=$((n + 1))
  [ $((n % every)) -eq 0 ] || continue
  tables=$((tables + 1))
  rel=${table#"$corpus"/}
  same "info $rel" info "$table"
  same "dump $rel" dump "$table" --format jsonl --deleted
  same "check $rel" check "$table"
  # Edits on copies, one per program; the files they leave must be equal byte for byte.
  name=$(basename "$table")
  copy "$table" "$work/l"
  copy "$table" "$work/w"
  field=$("$lin_vxdbf" info "$table" --json 2>/dev/null |
          python3 -c 'import json,sys
d=json.load(sys.stdin); d=d[0] if isinstance(d,list) else d
print(next((f["name"] for f in d.get("fields",[]) if f.get("type")=="C"),""))' 2>/dev/null)
  [ -n "$field" ] || continue
  for side in l w; do
    if [ $side = l ]; then run=("$lin_vxdbf"); else run=("$wine" "$win_vxdbf"); fi
    printf '{"%s":"ADDED"}\n' "$field" | "${run[@]}" append "$work/$side/$name" --format jsonl \
      >"$work/$side.out" 2>&1
    echo "append exit $?" >>"$work/$side.out"
    "${run[@]}" index "$work/$side/$name" --tag VXCMP --key "$field" >>"$work/$side.out" 2>&1 </dev/null
    echo "index exit $?" >>"$work/$side.out"
  done
  sed -i "s#$work/[lw]/#DIR/#g" "$work/l.out" "$work/w.out"
  if ! cmp -s "$work/l.out" "$work/w.out"; then
    echo "DIFFERS: append and index on $rel"
    diff "$work/l.out" "$work/w.out" | head -8 | sed 's/^/    /'
    differences=$((differences + 1))
  fi
  for f in "$work/l"/*; do
    if ! cmp -s "$f" "$work/w/$(basename "$f")"; then
      echo "DIFFERS: $(basename "$f") after append and index of $rel"
      differences=$((differences + 1))
    fi
  done
done < <(find "$corpus" -type f -iname '*.dbf' | sort)

echo "$tables tables compared, $differences differences"
[ "$differences" -eq 0 ]
