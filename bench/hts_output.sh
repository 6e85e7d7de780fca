#!/usr/bin/env bash
# SAM, BAM and CRAM output on human chrX (70 Mb) at 2 threads: CPU and wall
# time of each, of SAM piped into `samtools view -b` and into `samtools sort`,
# and, when the build reads BAM, an unaligned BAM of the reads against the
# same reads as FASTQ. Prints wall, user and system time and the CPU of each
# run over plain SAM's.
#   bench/hts_output.sh [work-dir]
# Needs a Release build in build/ and samtools; about 2 GB of memory.
set -euo pipefail
cd "$(dirname "$0")/.."
work="${1:-build/bench-hts}"
mkdir -p "$work"
bin=$PWD/build/lodestar
sim=$PWD/build/lodestar-sim
chrx=../shared/data/human_grch37_chrX_1-70Mb.fa.gz

[ -s "$work/chrX.fa" ] || zcat "$chrx" >"$work/chrX.fa"
[ -s "$work/chrX.idx" ] || "$bin" -t2 -x map-hifi -d "$work/chrX.idx" "$work/chrX.fa" 2>/dev/null
[ -s "$work/sr.idx" ] || "$bin" -t2 -x sr -d "$work/sr.idx" "$work/chrX.fa" 2>/dev/null
[ -s "$work/hifi.fq" ] || $sim reads -g "$work/chrX.fa" --seed 31 -n 4000 --mean-len 12000 --sd-len 3000 \
  --sub 0.002 --ins 0.002 --del 0.002 -o "$work/hifi.fq" >/dev/null
[ -s "$work/r1.fq" ] || $sim pairs -g "$work/chrX.fa" --seed 32 -n 200000 --read-len 150 --sub 0.005 \
  -1 "$work/r1.fq" -2 "$work/r2.fq" >/dev/null

# Runs a shell command line under /usr/bin/time; prints "wall user sys".
measure() {
  /usr/bin/time -f "%e %U %S" -o "$work/time.txt" bash -o pipefail -c "$1" >/dev/null 2>"$work/last.log" ||
    { cat "$work/last.log"; exit 1; }
  cat "$work/time.txt"
}
base_cpu=0
row() { # label, command line
  read -r w u s < <(measure "$2")
  local cpu
  cpu=$(awk -v u="$u" -v s="$s" 'BEGIN { print u + s }')
  [ "$base_cpu" = 0 ] && base_cpu=$cpu
  awk -v l="$1" -v w="$w" -v c="$cpu" -v b="$base_cpu" 'BEGIN {
    printf "%-34s %8.2f %8.2f %8.3f\n", l, w, c, c / b }'
}

for set in hifi sr; do
  if [ $set = hifi ]; then
    in="$work/chrX.idx $work/hifi.fq"
    opts="-x map-hifi"
  else
    in="$work/sr.idx $work/r1.fq $work/r2.fq"
    opts="-x sr"
  fi
  echo "== $set reads, -t 2"
  printf "%-34s %8s %8s %8s\n" run wall_s cpu_s cpu/sam
  base_cpu=0
  row "SAM" "$bin -t2 -a $opts -o $work/o.sam $in"
  row "BAM (-o x.bam)" "$bin -t2 -a $opts -o $work/o.bam $in"
  row "CRAM (-o x.cram)" "$bin -t2 -a $opts -o $work/o.cram --reference $work/chrX.fa $in"
  row "SAM | samtools view -b" "$bin -t2 -a $opts $in | samtools view -@1 -b -o $work/v.bam -"
  row "SAM | samtools sort" "$bin -t2 -a $opts $in | samtools sort -@1 -o $work/s.bam -"
  ls -l "$work/o.sam" "$work/o.bam" "$work/o.cram" | awk '{ printf "  %s %d bytes\n", $9, $5 }'
done

[ -s "$work/hifi.bam" ] || samtools import -0 "$work/hifi.fq" -o "$work/hifi.bam" 2>/dev/null
head -4 "$work/hifi.fq" | samtools import -0 - -o "$work/one.bam" 2>/dev/null
if "$bin" -t1 -x map-hifi "$work/chrX.idx" "$work/one.bam" >/dev/null 2>&1; then
  echo "== reading the HiFi reads as unaligned BAM against FASTQ, PAF out, -t 2"
  printf "%-34s %8s %8s %8s\n" run wall_s cpu_s cpu/fastq
  base_cpu=0
  row "FASTQ" "$bin -t2 -x map-hifi $work/chrX.idx $work/hifi.fq"
  row "unaligned BAM" "$bin -t2 -x map-hifi $work/chrX.idx $work/hifi.bam"
else
  echo "== this build does not read BAM: the input comparison is skipped"
fi
