#!/usr/bin/env bash
# Measures the browser on a large table on a virtual screen (docs/BROWSER.md's figures): writes a
# film table of RECORDS records (10,000,000 by default, about 1 GB) with the production index
# tag TITLE into a temporary folder under /tmp at the lowest priority, runs browser_bench on it
# under Xvfb while a second process edits the table, and deletes the folder afterwards.
# With VX_BENCH_DIR set, the table is written there once and kept for the next run (the
# editing program changes it, which is what the figures are about).
# Usage: scripts/browser-bench-xvfb.sh [BUILD_DIR] [RECORDS]   (after building browser_bench)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
records="${2:-10000000}"
bench="$(realpath "$build/bench/browser_bench")"
if [[ -n "${VX_BENCH_DIR:-}" ]]; then
  work="$VX_BENCH_DIR"
  mkdir -p "$work"
  [[ -f "$work/BIG.MDX" ]] || nice -n 19 "$bench" make "$work" "$records"
else
  work="$(mktemp -d /tmp/vxbrowserbench-XXXXXX)"
  trap 'rm -rf "$work"' EXIT
  nice -n 19 "$bench" make "$work" "$records"
fi
# The settings of a session of its own: nothing kept from other sessions changes the figures.
rm -rf "$work/config"
XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1040x600x24" "$bench" run "$work/BIG.DBF"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
