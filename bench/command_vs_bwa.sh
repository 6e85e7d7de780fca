#!/usr/bin/env bash
# Whole-command benchmark: `lodestar` against `bwa mem` on a reference from
# ../shared/data (default: human chrX, first 70 Mb) with reads from the
# generator: long noisy reads (10 kb, 12% error) and short pairs (2x150).
# Prints wall time, CPU time and peak memory of each run (ours the best of
# three, REPEAT=n to change), so that our 1- to 2-thread speed-up can be read
# off with the index loading time subtracted.
#   bench/command_vs_bwa.sh [reference.fa.gz] [work-dir]
# Needs bwa (apt-get install bwa) and a Release build in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
ref_gz="${1:-../shared/data/human_grch37_chrX_1-70Mb.fa.gz}"
work="${2:-build/bench-command}"
mkdir -p "$work"
bin=build/lodestar
sim=build/lodestar-sim
ref="$work/ref.fa"
[ -s "$ref" ] || zcat "$ref_gz" > "$ref"
[ -s "$work/ont.fq" ] || $sim reads -g "$ref" --seed 21 -n 2000 --mean-len 10000 --sd-len 3000 \
  --sub 0.05 --ins 0.03 --del 0.04 -o "$work/ont.fq"
[ -s "$work/sr_1.fq" ] || $sim pairs -g "$ref" --seed 22 -n 100000 --mean-len 400 --sd-len 80 \
  --min-len 200 --read-len 150 --sub 0.01 -1 "$work/sr_1.fq" -2 "$work/sr_2.fq"
[ -s "$ref.bwt" ] || bwa index "$ref" 2>/dev/null
[ -s "$work/ref.idx" ] || $bin -v 1 -d "$work/ref.idx" "$ref"
[ -s "$work/ref-sr.idx" ] || $bin -v 1 -x sr -d "$work/ref-sr.idx" "$ref"

# One command, run $repeat times (the fastest run counts: the machine is
# noisy); prints wall s, user+sys s, peak MB.
repeat=${REPEAT:-3}
measure() {
  local label=$1; shift
  local best=""
  for ((i = 0; i < repeat; ++i)); do
    /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" > "$work/out.txt" 2>/dev/null
    if [ -z "$best" ] || [ "$(echo "$(cut -d' ' -f1 "$work/time.txt") < $(cut -d' ' -f1 <<< "$best")" | bc)" = 1 ]; then
      best=$(cat "$work/time.txt")
    fi
  done
  read -r wall user sys rss <<< "$best"
  printf "%-34s wall %7.2f s  cpu %7.2f s  peak %6.0f MB  (%s lines)\n" "$label" "$wall" \
    "$(echo "$user + $sys" | bc)" "$(echo "$rss / 1024" | bc)" "$(wc -l < "$work/out.txt")"
}

echo "reference: $ref_gz"
measure "lodestar index build -t2" $bin -v 1 -t 2 "$ref"
measure "lodestar index load" $bin -v 1 -t 2 "$work/ref.idx"
for t in 1 2; do
  measure "lodestar -x map-ont -c -t$t (loaded)" $bin -v 1 -x map-ont -c -t $t "$work/ref.idx" "$work/ont.fq"
done
measure "lodestar -x map-ont -a -t2 (build)" $bin -v 1 -x map-ont -a -t 2 "$ref" "$work/ont.fq"
repeat=1 measure "bwa mem -x pacbio -t2" bwa mem -x pacbio -t 2 "$ref" "$work/ont.fq"
for t in 1 2; do
  measure "lodestar -x sr -a -t$t (loaded)" $bin -v 1 -x sr -a -t $t "$work/ref-sr.idx" "$work/sr_1.fq" "$work/sr_2.fq"
done
for t in 1 2; do
  measure "lodestar -x sr -a -t$t -K 5M (loaded)" $bin -v 1 -x sr -a -t $t -K 5M "$work/ref-sr.idx" \
    "$work/sr_1.fq" "$work/sr_2.fq"
done
measure "lodestar -x sr -a -t2 (build)" $bin -v 1 -x sr -a -t 2 "$ref" "$work/sr_1.fq" "$work/sr_2.fq"
repeat=1 measure "bwa mem -t2" bwa mem -t 2 "$ref" "$work/sr_1.fq" "$work/sr_2.fq"
