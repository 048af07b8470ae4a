#!/usr/bin/env bash
# Runs ctest with the given arguments inside a temporary folder of its own
# (TMPDIR), and fails when the tests leave anything behind in it: every test
# installation, scratch file or output a test makes must be gone when the
# test ends. The leftovers are listed, then removed, so that the system's
# temporary folder stays clean even then.
set -uo pipefail
cd "$(dirname "$0")/.."
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kalvo-ctest-XXXXXX") || exit 1
TMPDIR="$scratch" ctest "$@"
status=$?
left=$(find "$scratch" -mindepth 1 -maxdepth 1 | sort)
if [ -n "$left" ]; then
  echo "The tests left these in the temporary folder:"
  while IFS= read -r entry; do
    echo "  $(basename "$entry"): $(find "$entry" | sed -n 2,6p | sed "s|^$entry/||" | tr '\n' ' ')"
  done <<< "$left"
  [ "$status" -ne 0 ] || status=1
fi
chmod -R u+rwx "$scratch" 2>/dev/null
rm -rf "$scratch"
exit "$status"
