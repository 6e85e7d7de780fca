#!/bin/sh
# Every strong symbol the library exports (weak ones are standard-library
# template copies, and the sanitizer adds its own markers) carries one of the project's prefixes, so
# that it can be linked beside other code without clashes.
lib="$1"
bad=$(nm -C --defined-only "$lib" | awk '$2 ~ /^[TDRB]$/ {print $3}' | grep -v -E '^(ls_|nx_|dpx_|km_|kfree|rs_|__odr_asan)' | sort -u)
if [ -n "$bad" ]; then
  echo "symbols without a project prefix:"
  echo "$bad"
  exit 1
fi
echo "all exported symbols carry a project prefix"
