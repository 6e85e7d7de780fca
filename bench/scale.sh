#!/usr/bin/env bash
# Scale benchmark: building and loading the index of a generated genome
# (default 1 Gb) and of human chrX (70 Mb), both index file formats, the 1-
# to 2-thread mapping speed-up on long and short reads, and the Snakemake
# workflow's overhead against one unsharded run. Prints wall, user and system time and peak
# memory of each run, and the ratios the targets are stated in.
#   bench/scale.sh [GENOME_SIZE] [work-dir]      e.g. bench/scale.sh 1G
# Needs a Release build in build/ (and snakemake and samtools for the last
# part); about 10 GB of memory and 5 GB of disk for the 1 Gb genome.
set -euo pipefail
cd "$(dirname "$0")/.."
size="${1:-1G}"
work="${2:-build/bench-scale}"
mkdir -p "$work"
bin=$PWD/build/lodestar
sim=$PWD/build/lodestar-sim
chrx=../shared/data/human_grch37_chrX_1-70Mb.fa.gz

# Runs a command under /usr/bin/time; prints "wall user sys peakMB".
measure() {
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/last.log" ||
    { cat "$work/last.log"; exit 1; }
  awk '{ printf "%.2f %.2f %.2f %.0f\n", $1, $2, $3, $4 / 1024 }' "$work/time.txt"
}
row() { # label, then wall user sys peak
  awk -v l="$1" -v w="$2" -v u="$3" -v s="$4" -v m="$5" 'BEGIN {
    cpu = u + s; printf "%-28s %8.2f %8.2f %8.2f %6.1f%% %9.0f\n", l, w, u, s, (cpu > 0 ? 100 * s / cpu : 0), m }'
}

echo "== index: build (-d) and load, 2 threads"
printf "%-28s %8s %8s %8s %7s %9s\n" run wall_s user_s sys_s sys/cpu peak_MB
genome="$work/genome-$size.fa"
[ -s "$genome" ] || $sim genome --seed 1 --size "$size" --contigs 24 --repeats 2000 --repeat-len 3000 \
  --diverged 2000 --tandems 2000 -o "$genome"
[ -s "$work/chrX.fa" ] || zcat "$chrx" >"$work/chrX.fa"
for g in "$genome" "$work/chrX.fa"; do
  name=$(basename "$g" .fa)
  read -r bw bu bs bm < <(measure "$bin" -t2 -d "$work/$name.idx" "$g")
  row "$name build" "$bw" "$bu" "$bs" "$bm"
  read -r lw lu ls lm < <(measure "$bin" -t2 "$work/$name.idx")
  row "$name load" "$lw" "$lu" "$ls" "$lm"
  read -r cw cu cs cm < <(measure cat "$work/$name.idx")
  row "$name cat index file" "$cw" "$cu" "$cs" "$cm"
  awk -v b="$bm" -v l="$lm" 'BEGIN { printf "%-28s %.2f\n", "  build/load peak memory", b / l }'
done

echo "== index files: the stream format against the mapped format"
bench/index_formats.sh "$work/chrX.fa" "$genome"

echo "== parts: long reads on the generated genome, one part against four (-I, --split-prefix)"
[ -s "$work/genome-reads.fq" ] || $sim reads -g "$genome" --seed 23 -n 1000 --mean-len 10000 --sd-len 3000 \
  --sub 0.05 --ins 0.03 --del 0.04 -o "$work/genome-reads.fq" >/dev/null
part=$(awk -v s="$(stat -c %s "$genome")" 'BEGIN { printf "%d", s / 4 + 1 }')
printf "%-28s %8s %8s %8s %7s %9s\n" run wall_s user_s sys_s sys/cpu peak_MB
read -r w u s m < <(measure "$bin" -t2 -o "$work/one-part.paf" "$genome" "$work/genome-reads.fq")
row "one part" "$w" "$u" "$s" "$m"
read -r w u s m < <(measure "$bin" -t2 -I "$part" --split-prefix "$work/split" -o "$work/four-parts.paf" \
  "$genome" "$work/genome-reads.fq")
row "four parts" "$w" "$u" "$s" "$m"
grep -o 'index part [0-9]*:.*' "$work/last.log" | sed 's/^/  /'
primaries() { awk '/tp:A:P/ { print $1, $5, $6, $8, $9 }' "$1" | sort; }
same=$(comm -12 <(primaries "$work/one-part.paf") <(primaries "$work/four-parts.paf") | wc -l)
echo "  primary mappings identical: $same of $(primaries "$work/one-part.paf" | wc -l)"

echo "== mapping speed-up, 1 vs 2 threads (chrX index loaded from its file)"
[ -s "$work/ont.fq" ] || $sim reads -g "$work/chrX.fa" --seed 21 -n 2000 --mean-len 10000 --sd-len 3000 \
  --sub 0.05 --ins 0.03 --del 0.04 -o "$work/ont.fq" >/dev/null
[ -s "$work/sr_1.fq" ] || $sim pairs -g "$work/chrX.fa" --seed 22 -n 200000 --read-len 150 --sub 0.01 \
  -1 "$work/sr_1.fq" -2 "$work/sr_2.fq" >/dev/null
[ -s "$work/chrX-sr.idx" ] || "$bin" -v 1 -x sr -d "$work/chrX-sr.idx" "$work/chrX.fa"
printf "%-28s %8s %8s %8s\n" reads t1_wall_s t2_wall_s speedup
for mode in long short; do
  if [ $mode = long ]; then args=(-c "$work/chrX.idx" "$work/ont.fq"); idx="$work/chrX.idx"
  else args=(-ax sr "$work/chrX-sr.idx" "$work/sr_1.fq" "$work/sr_2.fq"); idx="$work/chrX-sr.idx"; fi
  # The index load is the same for both thread counts; it is subtracted.
  read -r l0 _ < <(measure "$bin" -t1 "$idx")
  read -r w1 _ < <(measure "$bin" -t1 "${args[@]}")
  read -r w2 _ < <(measure "$bin" -t2 "${args[@]}")
  awk -v m="$mode" -v l="$l0" -v a="$w1" -v b="$w2" 'BEGIN {
    printf "%-28s %8.2f %8.2f %7.2fx\n", m " (load " l " s subtracted)", a - l, b - l, (a - l) / (b - l) }'
done

if command -v snakemake >/dev/null && command -v samtools >/dev/null; then
  echo "== workflow (4 shards, 2 cores) against one run piped into samtools sort"
  cat >"$work/wf.yaml" <<END
sample: bench
reference: $PWD/$work/chrX.fa
reads: [$PWD/$work/sr_1.fq, $PWD/$work/sr_2.fq]
preset: sr
shards: 4
threads: 2
read_group: '@RG\tID:bench\tSM:bench'
outdir: $PWD/$work/wf
lodestar: $bin
END
  rm -rf "$work/wf"
  read -r ww wu ws _ < <(measure snakemake -s workflow/Snakefile --configfile "$work/wf.yaml" --directory "$work" --cores 2)
  read -r sw su ss _ < <(measure sh -c "'$bin' -t2 -ax sr -R '@RG\tID:bench\tSM:bench' '$work/chrX.fa' \
    '$work/sr_1.fq' '$work/sr_2.fq' | samtools sort -@2 -o '$work/one.bam' - && samtools index '$work/one.bam'")
  row "workflow" "$ww" "$wu" "$ws" 0
  row "one run + sort + index" "$sw" "$su" "$ss" 0
  awk -v a="$ww" -v b="$sw" 'BEGIN { printf "%-28s %.2fx wall\n", "  workflow overhead", a / b }'
fi
