#!/usr/bin/env bash
# Fails when an engine file includes from its own layer's sibling or from a
# higher layer. Usage: check_layers.sh ENGINE_DIR LAYER... where each LAYER
# lists its folders, lowest layer first (the build's QV_LAYERS).
set -euo pipefail
engine=$1
shift
declare -A rank
level=0
for layer in "$@"; do
  for folder in $layer; do rank[$folder]=$level; done
  level=$((level + 1))
done

bad=0
complain() { echo "$1"; bad=1; }
for dir in "$engine"/*/; do
  folder=$(basename "$dir")
  [ -n "${rank[$folder]+set}" ] || { complain "engine/$folder is in no layer"; continue; }
  for file in "$dir"*; do
    [ -f "$file" ] || continue
    where="engine/$folder/$(basename "$file")"
    while IFS=: read -r line text; do
      target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$text")
      if [ "$target" = quorvel.h ]; then
        [ "$folder" = api ] || complain "$where:$line: only api/ includes the public header"
        continue
      fi
      used=${target%%/*}
      if [ "$used" = "$target" ] || [ -z "${rank[$used]+set}" ]; then
        complain "$where:$line: \"$target\" names no engine folder"
      elif [ "$used" != "$folder" ] && [ "${rank[$used]}" -ge "${rank[$folder]}" ]; then
        complain "$where:$line: $folder/ may not include $target (not a lower layer)"
      fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
  done
done
[ "$bad" -eq 0 ] && echo "every engine include points down"
exit "$bad"
