#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh "$@"
(cd "${BUILD_DIR:-build}" && ctest -j2 --output-on-failure)
# The Windows build under Wine (skips with the reason where mingw-w64 or Wine is missing).
bash scripts/windows-tests.sh
