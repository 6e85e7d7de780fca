#!/usr/bin/env bash
# docs/lodestar.1 is what the option table makes of it today, and renders
# without a warning.
#   man_page_test.sh LODESTAR_MAN SOURCE_DIR
set -euo pipefail
made=$("$1")
if [ "$made" != "$(cat "$2/docs/lodestar.1")" ]; then
  echo "docs/lodestar.1 is stale: run scripts/man-page.sh" >&2
  exit 1
fi
command -v groff >/dev/null || { echo "groff is not installed: the rendering check is skipped" >&2; exit 77; }
warnings=$(groff -ww -man -Tutf8 -z "$2/docs/lodestar.1" 2>&1)
[ -z "$warnings" ] || { echo "$warnings" >&2; exit 1; }
