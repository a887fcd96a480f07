#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR) with Ninja on two cores. Extra arguments go
# to CMake, e.g. -DVX_SANITIZE=ON.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja "$@"
cmake --build "$build_dir" -j2
