#!/usr/bin/env bash
# Mapping speed before and after a change, next to bwa mem: CPU seconds per
# 1,000 reads on one thread, with the index build subtracted, on E. coli and
# human chrX (first 70 Mb) from ../shared/data, for reads from the generator:
# 10 kb at 12% error (default preset, map-ont), 10 kb at 1% error (map-hifi),
# 100 kb pieces at 0.2% (asm5, standing in for assembly contigs) and 2x150
# pairs (sr). BASE (a git revision, default HEAD) is built into a worktree of
# its own; "new" is the Release build in build/. Both builds' outputs are
# compared byte for byte. Each timing is the fastest of REPEAT runs (default 3).
#   bench/speed.sh [BASE] [work-dir]          e.g. bench/speed.sh 063243a
set -euo pipefail
cd "$(dirname "$0")/.."
base_rev="${1:-HEAD}"
work="${2:-build/bench-speed}"
repeat=${REPEAT:-3}
mkdir -p "$work"
root=$PWD
new=$root/build/lodestar
sim=$root/build/lodestar-sim
base_src="$work/base-src"
if [ ! -x "$base_src/build/lodestar" ] || [ "$(git -C "$base_src" rev-parse HEAD 2>/dev/null)" != "$(git rev-parse "$base_rev")" ]; then
  rm -rf "$base_src"
  git worktree prune
  git worktree add -f --detach "$base_src" "$base_rev" >/dev/null
  cmake -S "$base_src" -B "$base_src/build" -DCMAKE_BUILD_TYPE=Release -DLODESTAR_TESTS=OFF -DLODESTAR_BENCH=OFF >/dev/null
  cmake --build "$base_src/build" -j"$(nproc)" --target lodestar-cmd >/dev/null
fi
base=$base_src/build/lodestar

# CPU seconds (user + system) of the fastest of $repeat runs; output to $work/out.
cpu() {
  local best=""
  for ((i = 0; i < repeat; ++i)); do
    /usr/bin/time -f "%U %S" -o "$work/time.txt" "$@" >"$work/out" 2>/dev/null
    local t
    t=$(awk '{ print $1 + $2 }' "$work/time.txt")
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}

printf "%-8s %-14s %-9s %10s %10s %8s %10s %7s\n" genome reads preset base_s/1k new_s/1k speedup bwa_s/1k bwa/new
for g in ecoli_k12_mg1655 human_grch37_chrX_1-70Mb; do
  ref="$work/$g.fa"
  [ -s "$ref" ] || zcat "../shared/data/$g.fa.gz" >"$ref"
  [ -s "$ref.bwt" ] || bwa index "$ref" 2>/dev/null
  n=1000
  [ -s "$work/$g.noisy.fq" ] || $sim reads -g "$ref" --seed 41 -n $n --mean-len 10000 --sd-len 3000 \
    --sub 0.05 --ins 0.03 --del 0.04 -o "$work/$g.noisy.fq" >/dev/null
  [ -s "$work/$g.hifi.fq" ] || $sim reads -g "$ref" --seed 42 -n $n --mean-len 10000 --sd-len 3000 \
    --sub 0.004 --ins 0.003 --del 0.003 -o "$work/$g.hifi.fq" >/dev/null
  [ -s "$work/$g.asm.fa" ] || $sim reads -g "$ref" --seed 44 -n 60 --mean-len 100000 --sd-len 20000 \
    --sub 0.001 --ins 0.0005 --del 0.0005 -o "$work/$g.asm.fa" >/dev/null
  [ -s "$work/$g.sr_1.fq" ] || $sim pairs -g "$ref" --seed 43 -n 30000 --read-len 150 --sub 0.01 \
    -1 "$work/$g.sr_1.fq" -2 "$work/$g.sr_2.fq" >/dev/null
  for set in noisy:map-ont:-c hifi:map-hifi:-c asm:asm5:-c sr:sr:-a; do
    IFS=: read -r reads preset fmt <<<"$set"
    if [ "$reads" = sr ]; then
      q=("$work/$g.sr_1.fq" "$work/$g.sr_2.fq"); nreads=60000; bwa_opt=()
    elif [ "$reads" = asm ]; then
      q=("$work/$g.asm.fa"); nreads=60; bwa_opt=(-x intractg)
    else
      q=("$work/$g.$reads.fq"); nreads=$n; bwa_opt=(-x pacbio)
    fi
    per1k=()
    for which in base new; do
      bin=${!which}
      idx=$(cpu "$bin" -t1 -x "$preset" "$ref")
      all=$(cpu "$bin" -t1 -x "$preset" "$fmt" "$ref" "${q[@]}")
      grep -v '^@PG' "$work/out" >"$work/out.$which" || true # @PG holds the command's path
      per1k+=("$(awk -v a="$all" -v i="$idx" -v n="$nreads" 'BEGIN { printf "%.3f", (a - i) * 1000 / n }')")
    done
    same="same"
    cmp -s "$work/out.base" "$work/out.new" || same="outputs DIFFER"
    bwa_s=$(repeat=1 cpu bwa mem -t1 "${bwa_opt[@]}" "$ref" "${q[@]}")
    awk -v g="${g%%_*}" -v r="$reads" -v p="$preset" -v b="${per1k[0]}" -v nw="${per1k[1]}" -v w="$bwa_s" \
      -v n="$nreads" -v s="$same" 'BEGIN {
        bw = w * 1000 / n; printf "%-8s %-14s %-9s %10.3f %10.3f %7.2fx %10.2f %6.0fx  %s\n", g, r, p, b, nw, b / nw, bw, bw / nw, s }'
  done
done
