#!/usr/bin/env bash
# install_test.sh <cmake> <build directory> <data directory> <program>...
# Installs the build into a temporary prefix, checks that every program lies
# in <prefix>/bin and that <prefix>/share/kalvo holds the installation data
# as shipped, then runs ordanix from the prefix the way the README teaches:
# with a copy of share/kalvo of the user's own, named by KALVO. Leaves
# nothing behind.
set -uo pipefail
cmake=$1 build=$2 data=$3
shift 3
work=$(mktemp -d "${TMPDIR:-/tmp}/kalvo-install-XXXXXX") || exit 1
trap 'chmod -R u+rwx "$work"; rm -rf "$work"' EXIT
fail() {
  echo "FAILED: $*"
  exit 1
}

"$cmake" --install "$build" --prefix "$work/prefix" > "$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install ended with an error"; }
for program in "$@"; do
  [ -x "$work/prefix/bin/$program" ] || fail "$program is not in <prefix>/bin"
done
[ "$(ls "$work/prefix/bin" | wc -l)" -eq $# ] || fail "<prefix>/bin holds more than the $# programs: $(ls "$work/prefix/bin")"
diff -r "$data" "$work/prefix/share/kalvo" || fail "<prefix>/share/kalvo differs from the shipped data"

# A user's own installation directory, then a run from the prefix's bin,
# from another directory.
cp -r "$work/prefix/share/kalvo" "$work/mykalvo" || fail "cannot copy share/kalvo"
mkdir "$work/run"
(cd "$work/run" && KALVO="$work/mykalvo" "$work/prefix/bin/ordanix") > "$work/ordanix.out" 2>&1
status=$?
[ $status -eq 0 ] || { tail -5 "$work/ordanix.out"; fail "ordanix from the prefix ended with status $status"; }
grep -q "Pnma" "$work/ordanix.out" || { tail -5 "$work/ordanix.out"; fail "ordanix checked no group"; }
echo "installed and ran ordanix from $work/prefix"
