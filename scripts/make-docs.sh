#!/bin/sh
# Remakes docs/vxdbf.md from vxdbf's command definitions and tools/vxdbf/manual.md (the test
# vxdbf_manual_current fails while the two differ). Argument: the build folder (default build).
set -eu
cd "$(dirname "$0")/.."
"${1:-build}/tools/vxdbf/vxdbf" man --markdown > docs/vxdbf.md
