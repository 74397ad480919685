#!/usr/bin/env bash
# Fails unless the library exports exactly the qv_ functions its header declares.
set -euo pipefail
lib=$1 header=$2
expected=$(grep -oE 'qv_[a-z_]+\(' "$header" | tr -d '(' | sort -u)
count=$(printf '%s\n' "$expected" | wc -l)
if [ "$count" -ne 42 ]; then
  echo "header declares $count functions, expected 42"; exit 1
fi
# Defined dynamic symbols, less the ELF bookkeeping ones every library has.
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' | sed 's/@.*//' | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the header:"
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") || true
  exit 1
fi
echo "42 exports, all qv_"
