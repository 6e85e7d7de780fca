#!/usr/bin/env bash
# Regenerates docs/usage.md from the command's --help text (a test checks
# that the two agree). Run after building: scripts/usage-doc.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
bin="${1:-build}/lodestar"
{
  echo "# lodestar command-line usage"
  echo
  echo "This page is the output of \`lodestar --help\`; regenerate it with \`scripts/usage-doc.sh\`"
  echo "after changing an option. The README's quick start shows the command for each kind of read."
  echo
  echo '```'
  "$bin" --help
  echo '```'
} > docs/usage.md
