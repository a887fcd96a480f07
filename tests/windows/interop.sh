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

check "Linux check is clean" 0 lin check "$table"
check "Windows check is clean" 0 win check "$table"
lin dump "$table" --format jsonl >"$dir/lin.jsonl" 2>&1
win dump "$table" --format jsonl >"$dir/win.jsonl" 2>&1
if cmp -s "$dir/lin.jsonl" "$dir/win.jsonl" && [ "$(wc -l <"$dir/lin.jsonl")" -eq 5 ]; then
  echo "ok: both dump the same 5 records"
else
  echo "FAILED: the dumps differ or miss records"
  diff "$dir/lin.jsonl" "$dir/win.jsonl"
  failures=$((failures + 1))
fi
echo "refusals seen: $refusals"
[ "$failures" -eq 0 ] && echo "Every check passed" && exit 0
echo "$failures checks failed"
exit 1
