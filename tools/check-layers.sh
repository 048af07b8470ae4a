#!/usr/bin/env bash
# Layering of the sources: a file of a layer includes headers of its own
# layer and of the layers below it only (core < numeric < scan < model <
# crystal < programs). Lists every upward include as
# "<file>:<line>: <layer> includes <header> of <higher layer>" and fails
# when there is one.
#   tools/check-layers.sh [<src directory>]     (default: src of this tree)
set -euo pipefail
src=${1:-"$(dirname "$0")/../src"}
cd "$src"
dirs=()
for layer in core numeric scan model crystal programs; do
  [ -d "$layer" ] && dirs+=("$layer")
done
[ ${#dirs[@]} -gt 0 ] || { echo "no layer folder in $src"; exit 1; }
listing=$(find "${dirs[@]}" -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.inc' \) |
  sort | xargs awk '
    function rank(layer,    names, n, r) {
      n = split("core numeric scan model crystal programs", names, " ")
      for (r = 1; r <= n; r++) if (names[r] == layer) return r - 1
      return -1
    }
    # The layer of a quoted name found beside the file ("x.hpp",
    # "../model/x.hpp"), else of the name as a path from the include root.
    function layerof(name, quoted,    dir, parts, n, i, out, k, dummy) {
      dir = FILENAME
      sub(/\/[^\/]*$/, "", dir)
      if (quoted && (getline dummy < (dir "/" name)) >= 0) {
        close(dir "/" name)
        n = split(dir "/" name, parts, "/")
        k = 0
        for (i = 1; i <= n; i++) {
          if (parts[i] == "." || parts[i] == "") continue
          if (parts[i] == "..") { if (k > 0) k--; continue }
          out[++k] = parts[i]
        }
        return out[1]
      }
      split(name, parts, "/")
      return parts[1]
    }
    FNR == 1 { split(FILENAME, p, "/"); own = p[1] }
    /^[ \t]*#[ \t]*include[ \t]*[<"]/ {
      name = $0
      quoted = name ~ /include[ \t]*"/
      sub(/^[ \t]*#[ \t]*include[ \t]*[<"]/, "", name)
      sub(/[>"].*$/, "", name)
      layer = layerof(name, quoted)
      if (rank(layer) > rank(own))
        printf "%s:%d: %s includes %s of %s\n", FILENAME, FNR, own, name, layer
    }
  ')
if [ -n "$listing" ]; then
  echo "Includes of a higher layer:"
  echo "$listing"
  exit 1
fi
