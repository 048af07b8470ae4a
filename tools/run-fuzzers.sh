#!/usr/bin/env bash
# Runs each fuzzer of a build (the scan-file readers and the instrument
# function's files) for a fixed time on its corpus
# (tests/fuzz/corpus/<format>); new inputs and findings go to a scratch
# folder, so the corpus in the tree stays as it is. A finding (crash, leak,
# internal error, timeout) fails the run; its input is kept in
# build/fuzz-findings/<format>/ and the fuzzer's report is shown.
#   tools/run-fuzzers.sh [<seconds per fuzzer, default 20>] [<bin folder, default build/clang/bin>]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
bin=${2:-build/clang/bin}
status=0
for format in raw rd gsa val xy ger; do
  name=fuzz_scan_$format
  [ "$format" = ger ] && name=fuzz_ger
  fuzzer=$bin/$name
  if [ ! -x "$fuzzer" ]; then
    echo "$fuzzer is not built (cmake --preset clang && cmake --build --preset clang)"
    exit 1
  fi
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/kalvo-fuzz-XXXXXX") || exit 1
  mkdir -p "$scratch/new" "$scratch/findings"
  if TMPDIR="$scratch" "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$scratch/findings/" "$scratch/new" "tests/fuzz/corpus/$format" \
    >"$scratch/log" 2>&1; then
    runs=$(grep -o 'Done [0-9]* runs' "$scratch/log" | tail -1)
    echo "$name: ${runs:-done} in ${seconds} s, no finding"
  else
    echo "$name: FINDING"
    tail -40 "$scratch/log"
    mkdir -p "build/fuzz-findings/$format"
    cp -r "$scratch/findings/." "build/fuzz-findings/$format/"
    echo "inputs kept in build/fuzz-findings/$format/"
    status=1
  fi
  rm -rf "$scratch"
done
exit $status
