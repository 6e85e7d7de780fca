#!/usr/bin/env bash
# Builds and runs the whole test suite.
#   scripts/test.sh             release build (build/)
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
#   scripts/test.sh --tsan      ThreadSanitizer build (build-tsan/): the thread drivers and the
#                               multi-threaded index build and file mapping
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
case "${1:-}" in
  --sanitize)
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLODESTAR_SANITIZE=ON -DLODESTAR_BENCH=OFF >/dev/null
    cmake --build build-asan -j"$jobs"
    ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j"$jobs"
    ;;
  --tsan)
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLODESTAR_TSAN=ON -DLODESTAR_BENCH=OFF >/dev/null
    cmake --build build-tsan -j"$jobs" --target threads_test index_test map_file_test run_test
    ctest --test-dir build-tsan --output-on-failure -j"$jobs" -R 'Parallel|Pipeline|IndexBuild|IndexFile.OneAndThree|MapFile\.|Run\.'
    ;;
  "")
    # The Python module and its tests use the system interpreter, the one
    # deps.sh installs pytest and pybind11 for (another python3 may come
    # first on PATH).
    py=()
    [ -x /usr/bin/python3 ] && py=(-DPython_EXECUTABLE=/usr/bin/python3)
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${py[@]}" >/dev/null
    cmake --build build -j"$jobs"
    ctest --test-dir build --output-on-failure -j"$jobs"
    ;;
  *)
    echo "usage: scripts/test.sh [--sanitize|--tsan]" >&2
    exit 2
    ;;
esac
