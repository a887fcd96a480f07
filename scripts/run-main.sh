#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program's main job: vxdbf on a sample table
# that it creates (sample/films.dbf), shown with info and dump.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
export BUILD_DIR=${BUILD_DIR:-build-main}
bash scripts/build.sh -DVX_BUILD_TESTS=OFF -DVX_BUILD_BENCH=OFF
vxdbf=$BUILD_DIR/tools/vxdbf/vxdbf
mkdir -p sample
if [ ! -f sample/films.dbf ]; then
  "$vxdbf" create sample/films.dbf --field TITLE,C,20 --field YEAR,N,4 --field COLOR,L,1 \
    --field RUNTIME,N,3 --field STARS,C,50 --field DIRECTOR,C,20 --field PREMIERE,D,8
  "$vxdbf" append sample/films.dbf <<'CSV'
TITLE,YEAR,COLOR,RUNTIME,STARS,DIRECTOR,PREMIERE
Metropolis,1927,F,153,"Brigitte Helm, Gustav Frohlich",Fritz Lang,1927-01-10
Casablanca,1942,F,102,"Humphrey Bogart, Ingrid Bergman",Michael Curtiz,1942-11-26
Vertigo,1958,T,128,"James Stewart, Kim Novak",Alfred Hitchcock,1958-05-09
Some Like It Hot,1959,F,121,"Marilyn Monroe, Tony Curtis",Billy Wilder,1959-03-29
Star Wars,1977,T,121,"Mark Hamill, Harrison Ford",George Lucas,1977-05-25
CSV
fi
"$vxdbf" info sample/films.dbf
"$vxdbf" dump sample/films.dbf
