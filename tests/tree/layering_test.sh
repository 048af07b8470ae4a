#!/usr/bin/env bash
# The layering check on a planted tree: a clean tree passes; an upward
# include (by its path from the include root, or found beside the file
# through "..") fails and is listed with its file and line, while includes
# of the own layer, of lower layers and of the standard library are not.
#   layering_test.sh <tools/check-layers.sh>
set -uo pipefail
check=$1
tree=$(mktemp -d "${TMPDIR:-/tmp}/layering-XXXXXX") || exit 1
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/src/{core,numeric,model,crystal,programs/tool}
printf '#pragma once\n' >"$tree/src/core/base.hpp"
printf '#pragma once\n#include "core/base.hpp"\n' >"$tree/src/numeric/num.hpp"
printf '#pragma once\n#include <vector>\n#include "numeric/num.hpp"\n' >"$tree/src/model/mod.hpp"
printf '#include "mod.hpp"\n#include "../core/base.hpp"\n' >"$tree/src/model/mod.cpp"
printf '#include "crystal/x.hpp"\n#include "model/mod.hpp"\n' >"$tree/src/programs/tool/main.cpp"
printf '#pragma once\n' >"$tree/src/crystal/x.hpp"
fail=0
if ! out=$("$check" "$tree/src"); then
  echo "a clean tree was refused:"
  echo "$out"
  fail=1
fi
# Planted: the core includes the model; the numeric layer reaches the
# crystal layer through a relative path.
printf '#pragma once\n\n#include "model/mod.hpp"\n' >"$tree/src/core/base.hpp"
printf '#pragma once\n#include "core/base.hpp"\n#include "../crystal/x.hpp"\n' >"$tree/src/numeric/num.hpp"
out=$("$check" "$tree/src")
status=$?
expected="Includes of a higher layer:
core/base.hpp:3: core includes model/mod.hpp of model
numeric/num.hpp:3: numeric includes ../crystal/x.hpp of crystal"
if [ $status -eq 0 ] || [ "$out" != "$expected" ]; then
  echo "planted upward includes: status $status, output:"
  echo "$out"
  echo "expected a failure with:"
  echo "$expected"
  fail=1
fi
exit $fail
