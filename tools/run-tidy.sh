#!/usr/bin/env bash
# clang-tidy with the checks of .clang-tidy (tests/.clang-tidy for the tests)
# on every C++ source file of src, tests, bench and tools that the build
# compiles (its compile_commands.json); the headers they include are checked
# through them. Fails on any finding.
#   tools/run-tidy.sh [<build folder, default build/release>] [<file>...]
# TIDY_JOBS (3) files are checked at a time, one clang-tidy per file, the
# largest first so that no long file is left to run alone at the end.
# A file found clean is remembered under <build folder>/tidy-clean by a hash
# of what clang-tidy sees of it: its translation unit as clang preprocesses
# it (every header's text, every macro definition and the file names), its
# compile command, the clang-tidy version and the .clang-tidy files. A file
# whose hash is remembered is not checked again; any change to it, to a
# header it includes or to the checks makes a new hash. TIDY_CACHE=0 checks
# every file.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
shift || true
if [ ! -f "$build/compile_commands.json" ]; then
  echo "no $build/compile_commands.json: configure the build first (cmake --preset release)"
  exit 1
fi
if [ $# -gt 0 ]; then
  files=()
  for f in "$@"; do files+=("$(realpath "$f")"); done
else
  mapfile -t files < <(grep -o '"file": "[^"]*"' "$build/compile_commands.json" |
    sed 's/"file": "//; s/"$//' | grep -E "^$PWD/(src|tests|bench|tools)/" | sort -u)
fi
# Largest first.
mapfile -t files < <(for f in "${files[@]}"; do echo "$(stat -c %s "$f") $f"; done |
  sort -rn | cut -d' ' -f2-)

work=$(mktemp -d "${TMPDIR:-/tmp}/kalvo-tidy-XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
# Stopped from outside (CI ends the check when another stage fails): the
# scratch folder goes too.
trap 'exit 143' INT TERM
clean="$build/tidy-clean"
mkdir -p "$clean"
# What every file's hash starts from.
{
  clang-tidy --version
  cat .clang-tidy
  find src tests bench tools -name .clang-tidy -print -exec cat {} \; | sort
} | sha256sum | cut -d' ' -f1 >"$work/base"
export build clean work
export TIDY_CACHE=${TIDY_CACHE:-1}

# One file: its hash from its preprocessed text, then clang-tidy unless the
# hash is remembered; the findings go to a log of its own.
check() {
  local file=$1 n=$2 dir cmd key=""
  if [ "$TIDY_CACHE" != 0 ]; then
    # Its entry of the compile database: the command's compiler and output
    # file dropped, clang's preprocessor with macro definitions kept instead.
    cmd=$(grep -B1 -F "\"file\": \"$file\"" "$build/compile_commands.json" | head -1 |
      sed 's/^ *"command": "//; s/",$//; s/\\"/"/g')
    dir=$(grep -B2 -F "\"file\": \"$file\"" "$build/compile_commands.json" | head -1 |
      sed 's/^ *"directory": "//; s/",$//')
    if [ -n "$cmd" ] && [ -d "$dir" ]; then
      eval "set -- $cmd"
      shift
      local args=() skip=0 a
      for a in "$@"; do
        if [ $skip = 1 ]; then skip=0; continue; fi
        case $a in
          -o) skip=1 ;;
          -c) ;;
          *) args+=("$a") ;;
        esac
      done
      key=$({ cat "$work/base"; echo "$cmd"; (cd "$dir" && clang++ -E -dD "${args[@]}" 2>&1); } |
        sha256sum | cut -d' ' -f1)
      [ -f "$clean/$key" ] && return 0
    fi
  fi
  clang-tidy -p "$build" --quiet "$file" >"$work/log.$n" 2>/dev/null
  if ! grep -q ': warning: \|: error: ' "$work/log.$n"; then
    rm -f "$work/log.$n"
    [ -n "$key" ] && touch "$clean/$key"
  fi
  return 0
}
export -f check
for i in "${!files[@]}"; do printf '%s\0%s\0' "${files[$i]}" "$i"; done |
  xargs -0 -n 2 -P "${TIDY_JOBS:-3}" bash -c 'check "$1" "$2"' check
findings=$(cat "$work"/log.* 2>/dev/null | grep ': warning: \|: error: ' | sort -u | wc -l)
if [ "$findings" -gt 0 ]; then
  cat "$work"/log.* | grep -A3 ': warning: \|: error: '
  echo "clang-tidy: $findings findings"
  exit 1
fi
echo "clang-tidy: no finding in ${#files[@]} files"
