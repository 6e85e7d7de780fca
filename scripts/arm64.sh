#!/usr/bin/env bash
# Cross-builds lodestar for 64-bit ARM (the kernels' SSE2 code through SIMDe),
# runs the kernel and sketch tests under qemu, then maps generated long reads,
# HiFi-like reads and short pairs with both the ARM and the x86 build: every
# output must be the same bytes.
#   scripts/arm64.sh [work-dir]        (default: build-arm64/e2e)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --arm64
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs" --target lodestar-cmd lodestar-sim
# The ARM build leaves htslib out: the outputs compared here are SAM and PAF
# text, which the library writes itself.
cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
  -DLODESTAR_BENCH=OFF -DLODESTAR_PYTHON=OFF -DLODESTAR_HTS=OFF >/dev/null
tests=(dp_kernel_test dp_local_test dp_splice_test sketch_test radix_sort_test)
cmake --build build-arm64 -j"$jobs" --target lodestar-cmd "${tests[@]}"
arm() { qemu-aarch64 -L /usr/aarch64-linux-gnu "$@"; }
# Death tests fork, and qemu-user cannot start threads on some hosts (it hangs
# in clone), so the runs under it leave out the death tests and use one
# thread, which starts none.
for t in "${tests[@]}"; do
  arm "build-arm64/tests/$t" --gtest_brief=1 --gtest_filter='-*Death*'
done

work="${1:-build-arm64/e2e}"
mkdir -p "$work"
sim=build/lodestar-sim
$sim genome --seed 21 --size 2M --contigs 3 --repeats 6 -o "$work/g.fa" >/dev/null
$sim reads -g "$work/g.fa" --seed 22 -n 150 --mean-len 6000 --sd-len 2000 --sub 0.05 --ins 0.03 --del 0.04 \
  -o "$work/noisy.fq" >/dev/null
$sim reads -g "$work/g.fa" --seed 23 -n 100 --mean-len 8000 --sd-len 2000 --sub 0.004 --ins 0.003 --del 0.003 \
  -o "$work/hifi.fq" >/dev/null
$sim pairs -g "$work/g.fa" --seed 24 -n 2000 --read-len 150 --sub 0.01 -1 "$work/r1.fq" -2 "$work/r2.fq" >/dev/null
runs=("-c --cs $work/g.fa $work/noisy.fq"
      "-x map-hifi -c --MD $work/g.fa $work/hifi.fq"
      "-ax sr $work/g.fa $work/r1.fq $work/r2.fq"
      "-ax splice $work/g.fa $work/noisy.fq")
for r in "${runs[@]}"; do
  # shellcheck disable=SC2086
  build/lodestar -t2 $r 2>/dev/null | grep -v '^@PG' >"$work/x86.out"
  # shellcheck disable=SC2086
  arm build-arm64/lodestar -t1 -v1 $r | grep -v '^@PG' >"$work/arm64.out"
  if ! cmp -s "$work/x86.out" "$work/arm64.out"; then
    echo "arm64: 'lodestar $r' differs from the x86 build" >&2
    exit 1
  fi
  echo "arm64 = x86: lodestar $r ($(wc -l <"$work/x86.out") lines)"
done
