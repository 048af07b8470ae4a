#!/usr/bin/env bash
# Keeps the user's manual true by running it.
#
#   run_docs.sh guide DOCS TREE BIN
#     runs the command blocks of DOCS/guide.md (fenced ```sh) one after the
#     other in one shell, in an empty folder, with `tree` naming the source
#     tree and `bin` the built programs, as the guide tells its reader to set
#     them. A block fenced ```output after a command block lists lines that
#     block must print, in that order, each a whole line where "…" stands for
#     any text. Fails when a block ends with a non-zero status or a listed
#     line is missing.
#
#   run_docs.sh structures DOCS TREE BIN
#     writes every structure file of DOCS/structure-files.md (fenced
#     ```str <name>.str [<scan>]) into an empty folder and runs tamrel on
#     it: with a scan of TREE/tests/data named beside it, a refinement
#     against that scan (Cu K-alpha, the instrument profile
#     TREE/examples/instrument.ger, 2theta = 22 to 67 degrees, zero point
#     refined); without one, the set-up without a pattern (2theta = 10 to 100
#     degrees). Fails when a run does not end with status 0 or its list file
#     does not show the phase (and, after a refinement, the R values).
#
# Both work in a folder of their own under the temporary folder and remove
# it at the end, whatever happens; the installation folder is a fresh copy
# of TREE/data.
set -u
export LC_ALL=C

mode=$1 docs=$2 tree=$3 bin=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/kalvo-docs.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# The fenced blocks of a Markdown file whose info string starts with $2, one
# file per block: $3/<n>.<kind> (n counting from 1 over all blocks taken,
# kind the info string's first word) and, for "str" blocks, $3/<n>.name with
# the name after the word.
blocks() {
  awk -v want="$2" -v out="$3" '
    /^```/ {
      if (inblock) { inblock = 0; close(file); next }
      if (skipping) { skipping = 0; next }
      info = substr($0, 4)
      split(info, word, " ")
      if (index(" " want " ", " " word[1] " ") > 0) {
        n++
        file = sprintf("%s/%03d.%s", out, n, word[1])
        printf "" > file
        if (word[2] != "") { printf "%s\n", word[2] > sprintf("%s/%03d.name", out, n) }
        if (word[3] != "") { printf "%s\n", word[3] > sprintf("%s/%03d.scan", out, n) }
        inblock = 1
      } else {
        skipping = 1
      }
      next
    }
    inblock { print > file }
  ' "$1"
}

# True when every line of the expectation file $1 is found, in order, among
# the lines of $2, "…" matching any text.
expected() {
  awk -v expect="$1" '
    BEGIN {
      while ((getline line < expect) > 0) {
        pattern = ""
        for (i = 1; i <= length(line); i++) {
          c = substr(line, i, 1)
          if (substr(line, i, 3) == "\342\200\246") { pattern = pattern ".*"; i += 2; continue }
          if (index("\\^$.[]|()*+?{}/", c) > 0) c = "\\" c
          pattern = pattern c
        }
        sub(/[ ]+$/, "", pattern)
        want[++n] = "^" pattern "[ ]*$"
        text[n] = line
      }
      k = 1
    }
    k <= n && $0 ~ want[k] { k++ }
    END {
      if (k <= n) { print "missing: " text[k]; exit 1 }
    }
  ' "$2"
}

copyinstall() {
  cp -R "$tree/data" "$1" || fail "cannot copy $tree/data"
}

guide() {
  local parts="$work/parts" run="$work/run"
  mkdir -p "$parts" "$run"
  blocks "$docs/guide.md" "sh output" "$parts"
  # The script: every command block, each announced by a marker line so that
  # its output can be told from the next one's.
  local script="$work/guide.sh" n=0 block
  {
    echo "set -e"
    echo "tree='$tree'"
    echo "bin='$bin'"
  } > "$script"
  for block in "$parts"/*.sh; do
    n=$((n + 1))
    echo "echo '@@@ block $(basename "$block" .sh)'" >> "$script"
    cat "$block" >> "$script"
  done
  [ "$n" -gt 0 ] || fail "no command block in $docs/guide.md"
  (cd "$run" && env -u KALVO bash "$script") > "$work/out" 2>&1
  local status=$?
  if [ $status -ne 0 ]; then
    local last
    last=$(grep '^@@@ block ' "$work/out" | tail -n 1)
    echo "---- output of the guide's commands (last 40 lines):" >&2
    tail -n 40 "$work/out" >&2
    fail "the guide's commands ended with status $status in ${last#@@@ }"
  fi
  # Each output block belongs to the command block before it.
  local current="" failures=0 file
  for file in "$parts"/*; do
    case "$file" in
      *.sh) current=$(basename "$file" .sh) ;;
      *.output)
        [ -n "$current" ] || fail "an output block comes before any command block"
        awk -v b="@@@ block $current" '$0 ~ /^@@@ block / { on = ($0 == b); next } on' \
          "$work/out" > "$work/block.out"
        if ! why=$(expected "$file" "$work/block.out"); then
          echo "command block $current: $why" >&2
          echo "---- it printed:" >&2
          cat "$work/block.out" >&2
          failures=$((failures + 1))
        fi
        ;;
    esac
  done
  [ $failures -eq 0 ] || fail "$failures command blocks of the guide did not print what the guide says"
  echo "the guide's $n command blocks ran and printed what the guide says"
}

structures() {
  local parts="$work/parts" run="$work/run"
  mkdir -p "$parts" "$run"
  blocks "$docs/structure-files.md" "str" "$parts"
  copyinstall "$run/install"
  cp "$tree/examples/instrument.ger" "$run/" || fail "cannot copy the instrument profile"
  local n=0 failures=0 file name scan status
  for file in "$parts"/*.str; do
    n=$((n + 1))
    name=$(cat "${file%.str}.name" 2> /dev/null) || fail "a str block of structure-files.md has no file name"
    scan=$(cat "${file%.str}.scan" 2> /dev/null)
    cp "$file" "$run/$name"
    local args=("STRUC[1]=$name" LAMBDA=CU LIST=check SAVE=N)
    if [ -n "$scan" ]; then
      cp "$tree/tests/data/$scan" "$run/" || fail "$name: no scan $scan in $tree/tests/data"
      args+=("VAL[1]=$scan" LINTOR=instrument WMIN==22 WMAX==67 "PARAM[1]=EPS1=0")
    else
      args+=(WMIN==10 WMAX==100)
    fi
    (cd "$run" && KALVO="$run/install" "$bin/tamrel" check "${args[@]}" > "$work/out" 2>&1)
    status=$?
    if [ $status -ne 0 ] || ! grep -q '^Phase ' "$run/check.lst" 2> /dev/null ||
      { [ -n "$scan" ] && ! grep -q '^Rp=.*Rwp=' "$run/check.lst"; }; then
      echo "$name${scan:+ refined against $scan}: tamrel ended with status $status; its output:" >&2
      cat "$work/out" >&2
      failures=$((failures + 1))
    fi
    rm -f "$run/check.lst" "$run/check.par" "$run/$name"
    [ -z "$scan" ] || rm -f "$run/$scan"
  done
  [ "$n" -gt 0 ] || fail "no structure file in $docs/structure-files.md"
  [ $failures -eq 0 ] || fail "$failures of the $n structure files of structure-files.md were not read"
  echo "the $n structure files of structure-files.md were read"
}

case "$mode" in
  guide) guide ;;
  structures) structures ;;
  *) fail "unknown mode $mode: guide or structures" ;;
esac
