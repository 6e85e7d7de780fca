#!/usr/bin/env bash
# Accuracy, speed and memory of `lodestar` next to `bwa mem`, in one run, on
# human chrX (first 70 Mb, from ../shared/data) with reads from the generator,
# whose names carry their true origin: long noisy reads (nanopore-like),
# HiFi-like reads and 2x150 pairs. Every run writes SAM with two threads from
# an index built beforehand (index builds are timed on their own); primaries
# are scored by bench/sam_truth.py. Prints Markdown tables.
#   bench/accuracy.sh [work-dir]        (default: build/bench-accuracy)
# Read counts: N_ONT (default 2000), N_HIFI (2000), N_PAIRS (100000); REF_GZ
# names the reference when ../shared/data is elsewhere.
# Needs a Release build in build/ (lodestar-cmd, lodestar-sim), bwa and
# GNU time (scripts/deps.sh --bench installs bwa).
set -euo pipefail
cd "$(dirname "$0")/.."
work="${1:-build/bench-accuracy}"
n_ont=${N_ONT:-2000} n_hifi=${N_HIFI:-2000} n_pairs=${N_PAIRS:-100000}
ref_gz=${REF_GZ:-../shared/data/human_grch37_chrX_1-70Mb.fa.gz}
bin=build/lodestar
sim=build/lodestar-sim
threads=2

missing=()
[ -x "$bin" ] || missing+=("$bin (cmake --build build --target lodestar-cmd)")
[ -x "$sim" ] || missing+=("$sim (cmake --build build --target lodestar-sim)")
command -v bwa >/dev/null || missing+=("bwa (scripts/deps.sh --bench)")
[ -x /usr/bin/time ] || missing+=("/usr/bin/time (apt-get install time)")
command -v python3 >/dev/null || missing+=("python3")
[ -s "$ref_gz" ] || missing+=("$ref_gz")
if [ ${#missing[@]} -gt 0 ]; then
  printf 'bench/accuracy.sh: missing %s\n' "${missing[@]}" >&2
  exit 1
fi

mkdir -p "$work"
ref="$work/ref.fa"
[ -s "$ref" ] || zcat "$ref_gz" >"$ref"
[ -s "$work/ont.fq" ] || $sim reads -g "$ref" --seed 21 -n "$n_ont" --mean-len 10000 --sd-len 3000 \
  --sub 0.05 --ins 0.03 --del 0.04 -o "$work/ont.fq" >/dev/null
[ -s "$work/hifi.fq" ] || $sim reads -g "$ref" --seed 23 -n "$n_hifi" --mean-len 12000 --sd-len 2000 \
  --sub 0.002 --ins 0.002 --del 0.002 -o "$work/hifi.fq" >/dev/null
[ -s "$work/sr_1.fq" ] || $sim pairs -g "$ref" --seed 22 -n "$n_pairs" --mean-len 400 --sd-len 80 \
  --min-len 200 --read-len 150 --sub 0.01 -1 "$work/sr_1.fq" -2 "$work/sr_2.fq" >/dev/null

# Runs a command once under GNU time; its output goes to $out. Leaves
# "wall user sys peak_kB" in $work/$label.time.
timed() {
  local label=$1 out=$2
  shift 2
  /usr/bin/time -f "%e %U %S %M" -o "$work/$label.time" "$@" >"$out" 2>"$work/$label.log" || {
    echo "bench/accuracy.sh: $label failed: $* (see $work/$label.log)" >&2
    return 1
  }
}

# Index builds, once each (.sa is the last file bwa index writes) (kept with their times, so a second run reuses them).
[ -s "$ref.sa" ] || timed index.bwa /dev/null bwa index "$ref"
for p in map-ont map-hifi sr; do
  [ -s "$work/ref-$p.idx" ] || timed "index.$p" /dev/null $bin -v 1 -x "$p" -t $threads -d "$work/ref-$p.idx" "$ref"
done

# Mapping runs; SAM to $work/<set>.<tool>.sam.
load_before=$(cut -d" " -f1-3 /proc/loadavg)
timed ont.lodestar "$work/ont.lodestar.sam" $bin -v 1 -x map-ont -a -t $threads "$work/ref-map-ont.idx" "$work/ont.fq"
timed ont.bwa "$work/ont.bwa.sam" bwa mem -x ont2d -t $threads "$ref" "$work/ont.fq"
timed hifi.lodestar "$work/hifi.lodestar.sam" $bin -v 1 -x map-hifi -a -t $threads "$work/ref-map-hifi.idx" "$work/hifi.fq"
timed hifi.bwa "$work/hifi.bwa.sam" bwa mem -x pacbio -t $threads "$ref" "$work/hifi.fq"
timed sr.lodestar "$work/sr.lodestar.sam" $bin -v 1 -x sr -a -t $threads "$work/ref-sr.idx" "$work/sr_1.fq" "$work/sr_2.fq"
timed sr.bwa "$work/sr.bwa.sam" bwa mem -t $threads "$ref" "$work/sr_1.fq" "$work/sr_2.fq"

# One table row: tool, its command line, the evaluator's counts, the timing.
row() {
  local label=$1 tool=$2 cmd=$3 n=$4
  local counts
  counts=$(bench/sam_truth.py "$n" "$work/$label.sam")
  awk -v tool="$tool" -v cmd="$cmd" -v c="$counts" -v t="$(cat "$work/$label.time")" 'BEGIN {
    split(c, a, " "); split(t, b, " ")
    n = a[1]; m = a[2]; q = a[3]; wq = a[4]; wa = a[5]
    printf "| %s | `%s` | %.2f%% | %.2f%% | %d (%.3f%%) | %.3f%% | %.1f | %.1f | %.0f |\n", tool, cmd,
      100 * m / n, 100 * q / n, wq, q ? 100 * wq / q : 0, m ? 100 * wa / m : 0, b[1], b[2] + b[3], b[4] / 1024 }'
}
header() {
  echo
  echo "### $1"
  echo
  echo "| tool | command | mapped | MAPQ 60 (of all) | wrong at MAPQ 60 | wrong of mapped | wall s | CPU s | peak MB |"
  echo "|---|---|---:|---:|---:|---:|---:|---:|---:|"
}

echo "reference: $ref_gz; $threads threads; $(bwa 2>&1 | grep -m1 Version); $($bin --version 2>&1 | head -1)"
echo "load average before the mapping runs: $load_before; after: $(cut -d" " -f1-3 /proc/loadavg)"
# Reads drawn from the assembly's gaps are (almost) all N: no tool can place
# them, so 100% mapped is out of reach.
for fq in ont hifi sr_1 sr_2; do
  awk -v f="$fq" 'NR % 4 == 2 { l = length($0); if (gsub(/N/, "") * 10 > l * 9) g++ }
    END { printf "%s: %d of %d reads over 90%% N\n", f, g, NR / 4 }' "$work/$fq.fq"
done

header "Nanopore-like: $n_ont reads, mean 10 kb, 5% substitutions, 3% insertions, 4% deletions"
row ont.lodestar lodestar "lodestar -x map-ont -a -t $threads" "$n_ont"
row ont.bwa "BWA-MEM" "bwa mem -x ont2d -t $threads" "$n_ont"
header "HiFi-like: $n_hifi reads, mean 12 kb, 0.2% each of substitutions, insertions, deletions"
row hifi.lodestar lodestar "lodestar -x map-hifi -a -t $threads" "$n_hifi"
row hifi.bwa "BWA-MEM" "bwa mem -x pacbio -t $threads" "$n_hifi"
header "Short pairs: $n_pairs pairs of 2x150 (fragments 400 +- 80), 1% substitutions"
row sr.lodestar lodestar "lodestar -x sr -a -t $threads" "$((2 * n_pairs))"
row sr.bwa "BWA-MEM" "bwa mem -t $threads" "$((2 * n_pairs))"

echo
echo "### Index builds"
echo
echo "| tool | command | wall s | CPU s | peak MB |"
echo "|---|---|---:|---:|---:|"
for x in "bwa:BWA-MEM:bwa index" "map-ont:lodestar:lodestar -x map-ont -d" "map-hifi:lodestar:lodestar -x map-hifi -d" \
  "sr:lodestar:lodestar -x sr -d"; do
  IFS=: read -r label tool cmd <<<"$x"
  if [ -s "$work/index.$label.time" ]; then
    awk -v tool="$tool" -v cmd="$cmd" '{ printf "| %s | `%s` | %.1f | %.1f | %.0f |\n", tool, cmd, $1, $2 + $3, $4 / 1024 }' \
      "$work/index.$label.time"
  else
    echo "| $tool | \`$cmd\` | (built by an earlier run, not timed) | | |"
  fi
done
