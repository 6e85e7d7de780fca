#!/usr/bin/env bash
# The workflow through its SLURM profile, on a one-node SLURM cluster that
# this test starts on localhost (scripts/local-slurm.sh) and stops again. A long-read and a paired short-read sample in 3 shards each: every
# job goes through sbatch and completes, each sample's records equal one
# unsharded run's. Then a mapping job cancelled with scancel fails the
# workflow, which does not wait for ever, and the rerun redoes only the
# missing shards and what follows them.
#   slurm_test.sh LODESTAR LODESTAR_SIM SOURCE_DIR
set -euo pipefail
cmd=$1 sim=$2 src=$3
[ "$(id -u)" = 0 ] || { echo "not root, and the SLURM daemons need root: skipped" >&2; exit 77; }
export PATH=$PATH:/usr/sbin:/sbin
# shellcheck source=records.sh
. "$(dirname "$0")/records.sh"
hint="scripts/deps.sh --cluster" require snakemake samtools python3 munged slurmctld slurmd sbatch squeue scontrol \
  scancel sinfo
dir=$(mktemp -d)
trap '"$src/scripts/local-slurm.sh" stop "$dir/cluster"; rm -rf "$dir"' EXIT
fail() {
  echo "FAIL: $*"
  for f in "$dir"/*.log "$dir"/cluster/*.log; do echo "== $f"; tail -n 20 "$f"; done
  exit 1
}
"$src/scripts/local-slurm.sh" start "$dir/cluster" || fail "the cluster did not start"
export SLURM_CONF=$dir/cluster/slurm.conf
jobcomp=$dir/cluster/jobcomp.txt
# Snakemake asks for job states every second instead of every 10.
export CI=true

# Two samples; the mapper behind a wrapper that, while $dir/slow exists,
# holds shard 1's mapping job so the test can cancel it.
"$sim" genome --seed 41 --size 500k --contigs 2 -o "$dir/ref.fa" >/dev/null
"$sim" reads -g "$dir/ref.fa" --seed 42 -n 120 --mean-len 4000 --sd-len 1000 --sub 0.03 --ins 0.02 --del 0.02 \
  -o "$dir/long.fq.gz" >/dev/null
"$sim" pairs -g "$dir/ref.fa" --seed 43 -n 1500 --read-len 150 --sub 0.01 -1 "$dir/r1.fq" -2 "$dir/r2.fq" >/dev/null
gzip "$dir/r1.fq" "$dir/r2.fq"
printf 'sample\tpreset\treads\tplatform\nlong\tmap-ont\t%s\tONT\nshort\tsr\t%s,%s\tILLUMINA\n' \
  "$dir/long.fq.gz" "$dir/r1.fq.gz" "$dir/r2.fq.gz" >"$dir/samples.tsv"
cat >"$dir/lodestar" <<END
#!/bin/sh
case "\$*" in *shard1_*) if [ -e "$dir/slow" ]; then echo "\$SLURM_JOB_ID" >"$dir/slow.job"; sleep 600; fi ;; esac
exec "$cmd" "\$@"
END
chmod +x "$dir/lodestar"
smk() {  # smk LOG [snakemake options]
  local log=$1
  shift
  (cd "$dir" && snakemake -s "$src/workflow/Snakefile" --profile "$src/workflow/profiles/slurm" \
    --default-resources mem_mb=500 runtime=10 --config samples=samples.tsv reference=ref.fa shards=3 threads=1 runtime=10 \
    mem_batch_mb=200 outdir=out lodestar="$dir/lodestar" "$@" >"$log" 2>&1)
}
jobs_of() { grep -o "with external jobid '[0-9]*'" "$1" | grep -o '[0-9][0-9]*'; }
compare() {  # compare SAMPLE PRESET PLATFORM READS...
  local s=$1 preset=$2 pl=$3 why
  shift 3
  why=$(same_as_one_run "$cmd" "$preset" "@RG\tID:$s\tSM:$s\tPL:$pl" "$dir/out/$s/$s.bam" 120 "$dir/ref.fa" "$@")
  [ -z "$why" ] || fail "$s: $why"
}

# 1. The whole workflow: 2 indexes, 2 splits, 6 mappings and per sample one
# job that merges and counts, each one SLURM job that completed, the
# mappings with the memory and minutes the workflow asked for; the summary
# runs where Snakemake runs.
smk "$dir/run.log" || fail "the workflow failed under SLURM: $(tail -n 30 "$dir/run.log")"
mapfile -t ids < <(jobs_of "$dir/run.log")
[ ${#ids[@]} = 12 ] || fail "${#ids[@]} jobs submitted, not 12"
for id in "${ids[@]}"; do
  grep -q "^JobId=$id .* JobState=COMPLETED " "$jobcomp" || fail "job $id did not complete: $(grep "^JobId=$id " "$jobcomp")"
  ls "$dir"/logs/slurm/*."$id".log >/dev/null || fail "job $id left no SLURM log"
done
[ "$(grep -c ' Name=lodestar.map ' "$jobcomp")" = 6 ] && [ "$(grep -c ' Name=lodestar.finish ' "$jobcomp")" = 2 ] ||
  fail "not 6 mapping jobs and 2 merging ones"
[ "$(grep '^localrule ' "$dir/run.log" | sort -u)" = $'localrule all:\nlocalrule summary:' ] ||
  fail "a job ran outside SLURM: $(grep '^localrule ' "$dir/run.log")"
idx=$(stat -c %s "$dir/out/index/sr.idx")
want=$(python3 -c "print(int($idx * 1.0 / 2**20 + 200))")
grep ' Name=lodestar.map ' "$jobcomp" | grep -q "TimeLimit=10 .*Tres=cpu=1,mem=${want}M" ||
  fail "mapping jobs did not ask for ${want} MB and 10 minutes"
compare long map-ont ONT "$dir/long.fq.gz"
compare short sr ILLUMINA "$dir/r1.fq.gz" "$dir/r2.fq.gz"

# 2. A mapping job cancelled while it runs: the workflow fails.
rm "$dir/out/long/long.bam" "$dir/out/long/long.bam.bai"
touch "$dir/slow"
smk "$dir/cancel.log" --restart-times 0 &
pid=$!
for _ in $(seq 240); do [ -s "$dir/slow.job" ] && break; sleep 0.5; done
[ -s "$dir/slow.job" ] || fail "shard 1's mapping job never started"
victim=$(cat "$dir/slow.job")
scancel "$victim"
for _ in $(seq 240); do kill -0 $pid 2>/dev/null || break; sleep 0.5; done
if kill -0 $pid 2>/dev/null; then
  kill $pid
  fail "the workflow still waits 2 minutes after job $victim was cancelled"
fi
if wait $pid; then fail "the workflow succeeded though job $victim was cancelled"; fi
grep -q "Error executing rule map" "$dir/cancel.log" || fail "no error for the cancelled job: $(tail "$dir/cancel.log")"
grep -q "^JobId=$victim .* JobState=CANCELLED " "$jobcomp" || fail "job $victim was not cancelled"

# 3. The rerun maps only the shards that are missing, then merges.
rm "$dir/slow"
missing=$(for i in 0 1 2; do [ -e "$dir/out/long/bam/shard$i.bam" ] || echo "sample=long, shard=$i"; done)
[[ $missing == *shard=1* ]] || fail "the cancelled shard's output was kept"
smk "$dir/rerun.log" || fail "the rerun failed: $(tail -n 30 "$dir/rerun.log")"
mapped=$(awk '/^rule /{m = /^rule map:/} m && /wildcards:/' "$dir/rerun.log" | grep -o 'sample=[a-z]*, shard=[0-9]' | sort)
[ "$mapped" = "$missing" ] || fail "the rerun mapped $mapped; missing were $missing"
! grep -qE '^rule (index|split):' "$dir/rerun.log" || fail "the rerun built an index or split reads again"
compare long map-ont ONT "$dir/long.fq.gz"

echo "slurm: $(jobs_of "$dir/rerun.log" | wc -l) jobs in the rerun; jobs as SLURM recorded them:"
sed -E 's/^JobId=([0-9]+) .* Name=([^ ]+) JobState=([A-Z_]+) .* TimeLimit=([0-9]+) .* Tres=([^ ]+) .*/  \1 \2 \3 time=\4 \5/' \
  "$jobcomp"
