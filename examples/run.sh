#!/usr/bin/env bash
# The worked example: runs what the suite can do so far on the shipped data.
set -euo pipefail
bindir=$(cd "${1:-build/release/bin}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
if [ -x "$bindir/ordanix" ] && [ -f "$top/data/ordanix.dat" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  cp "$top/data/"* "$work/"
  echo "== ordanix: checking the shipped space-group database"
  status=0
  KALVO="$work" "$bindir/ordanix" > "$work/ordanix.log" || status=$?
  tail -n 5 "$work/ordanix.log"
  echo "== ordanix ended with status $status"
  exit $status
fi
echo "The programs of the suite are not built yet; the libraries and their tests are:"
ls "$bindir"
