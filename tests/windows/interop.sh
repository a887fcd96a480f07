#!/usr/bin/env bash
# A Linux and a Windows program on one table: each refuses the record and append locks the other
# holds, and sees the other's edits. The Windows programs run under Wine, whose LockFileEx and
# Linux's open-file-description locks refuse each other.
#   interop.sh LINUX_VXDBF LINUX_HOLDER WINDOWS_VXDBF WINDOWS_HOLDER WINE
set -uo pipefail
lin_vxdbf=$1 lin_holder=$2 win_vxdbf=$3 win_holder=$4 wine=$5
export WINEDEBUG=-all
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
table=$dir/SHARED.DBF
failures=0
refusals=0

check() {  # check WHAT EXPECTED_STATUS COMMAND...
  local what=$1 expected=$2
  shift 2
  "$@" >"$dir/out" 2>&1 </dev/null
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "FAILED: $what: exit $status, expected $expected"
    sed 's/^/    /' "$dir/out"
    failures=$((failures + 1))
  else
    echo "ok: $what"
    if [ "$expected" -eq 3 ]; then refusals=$((refusals + 1)); fi
  fi
}

lin() { "$lin_vxdbf" "$@"; }
win() { "$wine" "$win_vxdbf" "$@"; }

# hold SIDE RECNO: starts a holder on SIDE (lin or win) and waits until it holds the lock.
hold() {
  if [ "$1" = lin ]; then
    coproc HOLDER { "$lin_holder" "$table" "$2"; }
  else
    coproc HOLDER { "$wine" "$win_holder" "$table" "$2"; }
  fi
  local line=""
  read -r -t 60 line <&"${HOLDER[0]}"
  line=${line%$'\r'}
  if [ "$line" != held ]; then
    echo "FAILED: the $1 holder did not take lock $2 (said '$line')"
    failures=$((failures + 1))
  fi
}
release() {
  echo >&"${HOLDER[1]}"
  wait "$HOLDER_PID" 2>/dev/null
}

lin create "$table" --field NAME,C,20,0 --field NOTE,M,10,0 --version 0x8B >/dev/null || exit 1
printf '%s\n' '{"NAME":"one","NOTE":"first memo"}' '{"NAME":"two","NOTE":"second"}' \
  '{"NAME":"three","NOTE":"third"}' | lin append "$table" --format jsonl >/dev/null || exit 1
lin index "$table" --tag NAME --key "UPPER(NAME)" >/dev/null || exit 1
# The Windows program adds two tags to the .MDX the Linux one made (the new index takes the old
# one's name while the old one is still held), and rebuilds it.
check "win adds a tag to the .MDX" 0 win index "$table" --tag NAME3 --key "LEFT(NAME,3)"
check "win adds a third tag" 0 win index "$table" --tag RNAME --key "NAME" --descending
check "win rebuilds the .MDX" 0 win reindex "$table"
check "the .MDX has 3 tags" 0 sh -c '[ "$("$0" tags "$1" | grep -c "^[A-Z]")" -eq 3 ]' "$lin_vxdbf" "$table"

for side in lin win; do
  other=win
  [ "$side" = win ] && other=lin
  hold "$side" 2
  check "$other refused record 2 that $side holds" 3 "$other" set "$table" 2 NAME="by $other" --retries 0
  check "$other edits record 3 beside it" 0 "$other" set "$table" 3 NAME="three by $other"
  release
  check "$other edits record 2 once $side let go" 0 "$other" set "$table" 2 NAME="two by $other"
  hold "$side" 0
  printf '{"NAME":"refused"}\n' >"$dir/row"
  check "$other refused the append lock that $side holds" 3 \
    sh -c '"$@" < "$0"' "$dir/row" $([ "$other" = win ] && echo "$wine $win_vxdbf" || echo "$lin_vxdbf") \
    append "$table" --format jsonl --retries 0
  release
  printf '{"NAME":"added by %s","NOTE":"memo by %s"}\n' "$other" "$other" >"$dir/row"
  check "$other appends once $side let go" 0 \
    sh -c '"$@" < "$0"' "$dir/row" $([ "$other" = win ] && echo "$wine $win_vxdbf" || echo "$lin_vxdbf") \
    append "$table" --format jsonl
done

# Both at once: each side appends rows with memos, edits the memos of records 1 to 3 and
# deletes and recalls a record of its own; the Windows side also dumps the table each round while
# Linux writes. Locks are waited for as usual; a change refused all the same is counted, not
# acknowledged. Each acknowledged change is written down, to be found in the table afterwards.
rounds=${VX_INTEROP_ROUNDS:-6}
worker() {  # worker SIDE DELETED_RECNO
  local side=$1 own=$2 i status
  for i in $(seq 1 "$rounds"); do
    printf '{"NAME":"%s row %d","NOTE":"memo %d by %s"}\n' "$side" "$i" "$i" "$side" |
      "$side" append "$table" --format jsonl >/dev/null 2>&1
    status=$?
    [ $status -eq 0 ] && echo "$side row $i" >>"$dir/$side.rows"
    [ $status -eq 3 ] && echo append >>"$dir/$side.refused"
    [ $status -ne 0 ] && [ $status -ne 3 ] && echo "append $i: exit $status" >>"$dir/$side.failed"
    "$side" set "$table" $((i % 3 + 1)) NOTE="edit $i by $side" >/dev/null 2>&1 </dev/null
    status=$?
    [ $status -eq 0 ] && echo "$((i % 3 + 1)) edit $i by $side" >>"$dir/$side.edits"
    [ $status -eq 3 ] && echo set >>"$dir/$side.refused"
    [ $status -ne 0 ] && [ $status -ne 3 ] && echo "set $i: exit $status" >>"$dir/$side.failed"
    if [ $((i % 2)) -eq 1 ]; then
      "$side" delete "$table" "$own" >/dev/null 2>&1 </dev/null
    else
      "$side" recall "$table" "$own" >/dev/null 2>&1 </dev/null
    fi
    status=$?
    [ $status -eq 3 ] && echo delete >>"$dir/$side.refused"
    [ $status -ne 0 ] && [ $status -ne 3 ] && echo "delete/recall $i: exit $status" >>"$dir/$side.failed"
    if [ "$side" = win ]; then
      win dump "$table" --format jsonl >/dev/null 2>"$dir/win.dumperr" </dev/null
      status=$?
      [ $status -eq 0 ] && echo read >>"$dir/win.reads"
      [ $status -ne 0 ] && echo "dump $i: exit $status $(head -1 "$dir/win.dumperr")" >>"$dir/win.failed"
    fi
  done
}
: >"$dir/lin.rows" >"$dir/win.rows" >"$dir/lin.edits" >"$dir/win.edits" >"$dir/lin.refused" \
  >"$dir/win.refused" >"$dir/lin.failed" >"$dir/win.failed" >"$dir/win.reads"
worker lin 4 &
worker win 5 &
wait
for side in lin win; do
  if [ -s "$dir/$side.failed" ]; then
    echo "FAILED: the $side side's changes at the same time"
    sed 's/^/    /' "$dir/$side.failed"
    failures=$((failures + 1))
  else
    echo "ok: the $side side's changes at the same time"
  fi
done

check "Linux check is clean" 0 lin check "$table"
check "Windows check is clean" 0 win check "$table"
lin dump "$table" --format jsonl --deleted >"$dir/lin.jsonl" 2>&1
win dump "$table" --format jsonl --deleted >"$dir/win.jsonl" 2>&1
acked=$(cat "$dir/lin.rows" "$dir/win.rows" | wc -l)
rows=$((5 + acked))
missing=0
while IFS= read -r name; do
  grep -q "\"NAME\":\"$name\"" "$dir/lin.jsonl" || { echo "    missing: $name"; missing=$((missing + 1)); }
done < <(cat "$dir/lin.rows" "$dir/win.rows")
if cmp -s "$dir/lin.jsonl" "$dir/win.jsonl" && [ "$(wc -l <"$dir/lin.jsonl")" -eq "$rows" ] &&
   [ "$missing" -eq 0 ]; then
  echo "ok: both dump the same $rows records, every acknowledged row among them"
else
  echo "FAILED: the dumps differ or miss records ($(wc -l <"$dir/lin.jsonl") of $rows, $missing missing)"
  diff "$dir/lin.jsonl" "$dir/win.jsonl" | head -20
  failures=$((failures + 1))
fi
# Each edited memo holds one of the acknowledged edits of its record.
cat "$dir/lin.edits" "$dir/win.edits" >"$dir/edits"
for recno in 1 2 3; do
  note=$(sed -n "${recno}p" "$dir/lin.jsonl" | python3 -c 'import json,sys; print(json.load(sys.stdin)["NOTE"])')
  if grep -q "^$recno " "$dir/edits" && ! grep -qxF "$recno $note" "$dir/edits"; then
    echo "FAILED: record $recno's memo is '$note', not an acknowledged edit"
    failures=$((failures + 1))
  fi
done
edits=$(wc -l <"$dir/edits")
refused_at_once=$(cat "$dir/lin.refused" "$dir/win.refused" | wc -l)
echo "figures: $rows rows ($acked appended at the same time: $(wc -l <"$dir/lin.rows") by Linux, $(wc -l <"$dir/win.rows") by Windows), $edits memo edits acknowledged, $(wc -l <"$dir/win.reads") Windows reads while Linux wrote"
echo "refusals seen: $refusals while the other side held a lock, $refused_at_once changes refused while both edited"
[ "$failures" -eq 0 ] && echo "Every check passed" && exit 0
echo "$failures checks failed"
exit 1
