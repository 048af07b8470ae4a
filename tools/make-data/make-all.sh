#!/bin/sh
# Regenerates the installation data under data/ from the published tables
# and checks it.  Needs the Debian packages of install-deps.sh.
#
#   make-all.sh            write data/ordanix.dat, afaparm.dat, bcoh.dat,
#                          weight.mol and <r>.lam, <r>.ano, <r>.mdr
#   make-all.sh --compare  generate into a temporary directory and compare
#                          byte for byte with data/, leaving data/ untouched
set -e
here=$(cd "$(dirname "$0")" && pwd)
data=$(cd "$here/../.." && pwd)/data
PY=/usr/bin/python3

compare=no
if [ "${1:-}" = "--compare" ]; then
  compare=yes
fi

if [ "$compare" = yes ]; then
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
else
  out=$data
fi

cd "$here"
$PY gen_ordanix.py "$out/ordanix.dat"
$PY gen_scattering.py "$out"
$PY gen_radiation.py "$out"
$PY check_ordanix.py "$out/ordanix.dat"
$PY check_data.py "$out"

if [ "$compare" = yes ]; then
  status=0
  for f in "$out"/*; do
    name=$(basename "$f")
    if ! cmp -s "$f" "$data/$name"; then
      echo "differs from the generated file: data/$name"
      status=1
    fi
  done
  if [ $status -eq 0 ]; then
    echo "data/ matches the generated files"
  fi
  exit $status
fi
