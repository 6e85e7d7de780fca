#!/usr/bin/env bash
# The Snakemake workflow end to end with a one-sample config (no sample
# sheet): paired reads mapped in 4 shards against a saved index and merged
# give a coordinate-sorted, indexed BAM that holds exactly the records of one
# unsharded run.
#   workflow_test.sh LODESTAR LODESTAR_SIM SOURCE_DIR
set -euo pipefail
cmd=$1 sim=$2 src=$3
# shellcheck source=records.sh
. "$(dirname "$0")/records.sh"
require snakemake samtools python3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$sim" genome --seed 21 --size 600k --contigs 3 -o "$dir/ref.fa" >/dev/null
"$sim" pairs -g "$dir/ref.fa" --seed 22 -n 3001 --read-len 150 --sub 0.01 -1 "$dir/r1.fq" -2 "$dir/r2.fq" >/dev/null
gzip "$dir/r1.fq" "$dir/r2.fq"
rg='@RG\tID:s1\tSM:s1'
cat > "$dir/config.yaml" <<END
sample: s1
reference: $dir/ref.fa
reads: [$dir/r1.fq.gz, $dir/r2.fq.gz]
preset: sr
shards: 4
threads: 2
read_group: '$rg'
outdir: $dir/out
lodestar: $cmd
END
if ! snakemake -s "$src/workflow/Snakefile" --configfile "$dir/config.yaml" --directory "$dir" --cores 2 \
  >"$dir/snakemake.log" 2>&1; then
  cat "$dir/snakemake.log"
  exit 1
fi
fail() { echo "FAIL: $*"; exit 1; }
bam=$dir/out/s1/s1.bam
samtools quickcheck "$bam" || fail "merged BAM is not whole"
[ -s "$bam.bai" ] || fail "no BAM index"
samtools view -H "$bam" | grep -q 'SO:coordinate' || fail "BAM not coordinate-sorted"
samtools view -H "$bam" | grep -q $'^@RG\tID:s1\tSM:s1' || fail "read group missing from the header"
for i in 0 1 2 3; do
  n=$(zcat "$dir/out/s1/shards/shard${i}_1.seq.gz" | grep -c '^@' || true)
  [ "$n" -ge 750 ] && [ "$n" -le 751 ] || fail "shard $i holds $n pairs, not a quarter of 3001"
done
why=$(same_as_one_run "$cmd" sr "$rg" "$bam" 6002 "$dir/ref.fa" "$dir/r1.fq.gz" "$dir/r2.fq.gz")
[ -z "$why" ] || fail "$why"
echo "workflow: $(samtools view -c "$bam") records, same as one run"
