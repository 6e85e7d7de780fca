#!/usr/bin/env bash
# Regenerates docs/lodestar.1 from the command's option table (a test checks
# that the two agree). Run after building: scripts/man-page.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
"${1:-build}/lodestar-man" > docs/lodestar.1
