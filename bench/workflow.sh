#!/usr/bin/env bash
# The Snakemake workflow's overhead against one unsharded run of the same
# sample: 200,000 simulated 150 bp pairs (gzip FASTQ) on human chrX, the
# workflow on 2 cores with SHARDS shards of 2 threads each, locally and
# through the SLURM profile on a one-node cluster started for the purpose
# (scripts/local-slurm.sh; skipped unless root with SLURM installed). The
# one run is what a user would do by hand: map from the FASTA, sort, index.
# Prints wall/user/system time of each, then where each workflow's wall time
# went: the jobs of each rule (their Snakemake benchmark files), the index
# loads inside the mapping jobs, and the rest (Snakemake itself, sbatch,
# waiting for SLURM).
#   bench/workflow.sh [SHARDS] [work-dir]         default 4, build/bench-workflow
# Needs a Release build in build/, snakemake and samtools.
set -euo pipefail
cd "$(dirname "$0")/.."
shards=${1:-4}
work=$(realpath -m "${2:-build/bench-workflow}")
mkdir -p "$work"
bin=$PWD/build/lodestar
sim=$PWD/build/lodestar-sim
chrx=$PWD/../shared/data/human_grch37_chrX_1-70Mb.fa.gz
rg='@RG\tID:x\tSM:x\tPL:ILLUMINA'

measure() {  # prints "wall user sys" of a command
  /usr/bin/time -f "%e %U %S" -o "$work/time.txt" "$@" >"$work/last.log" 2>&1 || { tail -n 30 "$work/last.log"; exit 1; }
  cat "$work/time.txt"
}
row() { printf "%-34s %8.2f %8.2f %8.2f\n" "$@"; }

[ -s "$work/chrX.fa" ] || zcat "$chrx" >"$work/chrX.fa"
if [ ! -s "$work/r1.fq.gz" ]; then
  "$sim" pairs -g "$work/chrX.fa" --seed 7 -n 200000 --read-len 150 --sub 0.005 --ins 0.0005 --del 0.0005 \
    -1 "$work/r1.fq" -2 "$work/r2.fq" >/dev/null
  gzip -f "$work/r1.fq" "$work/r2.fq"
fi
printf 'sample\tpreset\treads\tplatform\nx\tsr\t%s,%s\tILLUMINA\n' "$work/r1.fq.gz" "$work/r2.fq.gz" >"$work/samples.tsv"

printf "%-34s %8s %8s %8s\n" run wall_s user_s sys_s
read -r bw bu bs < <(measure sh -c "'$bin' -t2 -ax sr -R '$rg' '$work/chrX.fa' '$work/r1.fq.gz' '$work/r2.fq.gz' \
  | samtools sort -@2 -o '$work/one.bam' - && samtools index '$work/one.bam'")
row "one run + sort + index" "$bw" "$bu" "$bs"

# breakdown OUTDIR WALL: seconds per rule from the benchmark files, and the
# index loads the mapping logs report.
breakdown() {
  python3 - "$1" "$2" <<'END'
import glob, os, re, sys
out, wall = sys.argv[1], float(sys.argv[2])
rules = {}
for f in glob.glob(os.path.join(out, "**", "*.tsv"), recursive=True):
    if "benchmark" not in f:
        continue
    name = os.path.basename(f)
    rule = re.sub(r"^(index)\..*|\d*\.(benchmark\.)?tsv$", r"\1", name)
    s = float(open(f).read().splitlines()[1].split("\t")[0])
    n, t = rules.get(rule, (0, 0.0))
    rules[rule] = (n + 1, t + s)
loads = [float(x) for f in glob.glob(os.path.join(out, "*", "logs", "map*.log"))
         for x in re.findall(r"loaded in ([0-9.]+) s", open(f).read())]
jobs = 0.0
for rule in ("index", "split", "map", "merge", "stats"):
    n, t = rules.get(rule, (0, 0.0))
    jobs += t
    print(f"  {rule:<10} {n:2d} jobs {t:7.2f} s")
print(f"  {'':<10} of which index loads: {len(loads)} x {sum(loads) / max(len(loads), 1):.2f} s = {sum(loads):.2f} s")
print(f"  rest (Snakemake, scheduling, summary; jobs that overlap count twice): {wall - jobs:.2f} s")
END
}

sm() {  # sm OUTDIR [snakemake options]: the workflow on the sample sheet
  local out=$1
  shift
  rm -rf "${work:?}/$out" "$work/.snakemake"
  (cd "$work" && measure snakemake -s "$OLDPWD/workflow/Snakefile" --config samples=samples.tsv \
    reference=chrX.fa shards="$shards" threads=2 outdir="$out" lodestar="$bin" "$@")
}

read -r lw lu ls < <(sm local --cores 2)
row "workflow, local, --cores 2" "$lw" "$lu" "$ls"
awk -v a="$lw" -v b="$bw" 'BEGIN { printf "  %.2fx the one run'"'"'s wall time\n", a / b }'
breakdown "$work/local" "$lw"

if [ "$(id -u)" = 0 ] && command -v slurmd >/dev/null; then
  scripts/local-slurm.sh stop "$work/cluster"
  rm -f "$work/cluster/jobcomp.txt"
  scripts/local-slurm.sh start "$work/cluster"
  trap 'scripts/local-slurm.sh stop "$work/cluster"' EXIT
  export SLURM_CONF=$work/cluster/slurm.conf
  read -r cw cu cs < <(sm slurm --profile "$PWD/workflow/profiles/slurm" --default-resources mem_mb=1000 runtime=30)
  row "workflow, SLURM (1 node, 2 CPUs)" "$cw" "$cu" "$cs"
  awk -v a="$cw" -v b="$bw" 'BEGIN { printf "  %.2fx the one run'"'"'s wall time\n", a / b }'
  breakdown "$work/slurm" "$cw"
  echo "  SLURM's record of the jobs:"
  sed -E 's/^JobId=([0-9]+) .* Name=([^ ]+) JobState=([A-Z_]+) .* StartTime=([^ ]+) EndTime=([^ ]+) .*/    \1 \2 \3 \4 \5/' \
    "$work/cluster/jobcomp.txt"
else
  echo "(SLURM part skipped: needs root and scripts/deps.sh --cluster)"
fi
