#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev libshp-dev libcli11-dev nlohmann-json3-dev
          python3 python3-dbf python3-dbfread libdbd-xbase-perl libxbase64-dev pkgconf
          python3-dev python3-pybind11 pybind11-dev python3-pytest python3-pandas python3-numpy
          python3-venv python3-pip python3-setuptools python3-wheel python3-build
          qt6-base-dev qt6-qpa-plugins fonts-dejavu-core xvfb xauth imagemagick bison
          libsqlite3-dev sqlite3
          libreoffice-calc-nogui libreoffice-base-drivers python3-uno)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

