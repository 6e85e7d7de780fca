#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for MINUTES on a scratch copy of
# its seed corpus (the seeds are replayed first), then prints, per target,
# the executions, the coverage features reached and the findings. A crash
# leaves its input in build-fuzz/findings/ and makes the script fail.
# LODESTAR_FUZZ_BUILD names another build folder than build-fuzz.
#   scripts/fuzz.sh MINUTES [target ...]    e.g. scripts/fuzz.sh 0.5 (CI smoke), scripts/fuzz.sh 10
set -euo pipefail
cd "$(dirname "$0")/.."
minutes="${1:?usage: scripts/fuzz.sh MINUTES [target ...]}"
shift
scripts/deps.sh --fuzz
# libFuzzer's runtime comes with the compiler runtime package of the same version.
probe=$(mktemp -d)
printf '#include <stddef.h>\n#include <stdint.h>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }\n' > "$probe/p.cpp"
if ! clang++ -fsanitize=fuzzer "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
  major=$(clang++ -dumpversion | cut -d. -f1)
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null
fi
rm -rf "$probe"

build="${LODESTAR_FUZZ_BUILD:-build-fuzz}"
seconds=$(awk -v m="$minutes" 'BEGIN { s = int(m * 60); print (s < 1 ? 1 : s) }')
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for f in tests/fuzz/*_fuzz.cpp; do
    n=$(basename "$f" .cpp)
    targets+=("${n%_fuzz}")
  done
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -DLODESTAR_FUZZ=ON -DLODESTAR_TESTS=OFF -DLODESTAR_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/%/_fuzz}" >/dev/null
mkdir -p "$build/findings" "$build/logs"
status=0
for t in "${targets[@]}"; do
  scratch="$build/scratch/$t"
  rm -rf "$scratch"
  mkdir -p "$scratch"
  log="$build/logs/$t.log"
  if "$build/${t}_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 \
    -artifact_prefix="$build/findings/$t-" "$scratch" "tests/fuzz/corpus/$t" > "$log" 2>&1; then
    result="no findings"
  else
    result="FINDING: see $log and $build/findings/"
    status=1
  fi
  # A run that stopped on a finding prints no final count: take the last
  # progress line's.
  runs=$( (grep -o 'Done [0-9]* runs' "$log" || grep -o '^#[0-9]*' "$log" | tr -d '#' | sed 's/^/Done /') |
    tail -1 | awk '{ print $2 }' || true)
  ft=$( (grep -o 'ft: [0-9]*' "$log" || true) | tail -1 | awk '{ print $2 }')
  printf "%-14s %6s s  %10s executions  %6s features  %s\n" "$t" "$seconds" "${runs:-?}" "${ft:-?}" "$result"
done
exit $status
