#!/usr/bin/env bash
# The workflow over a sample sheet: a long-read sample, a paired short-read
# sample and the long reads again as an unaligned BAM, each sample's FASTQ
# split in 3 shards. Each sample's BAM holds exactly the records of one
# unsharded run with its own read group, one index is built per preset, the
# summary has one plausible row per sample; bad sheets fail before any job
# with the line at fault named.
#   samples_test.sh LODESTAR LODESTAR_SIM SOURCE_DIR
set -euo pipefail
cmd=$1 sim=$2 src=$3
# shellcheck source=records.sh
. "$(dirname "$0")/records.sh"
require snakemake samtools python3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
"$sim" genome --seed 31 --size 600k --contigs 3 -o "$dir/ref.fa" >/dev/null
"$sim" reads -g "$dir/ref.fa" --seed 32 -n 150 --mean-len 4000 --sd-len 1000 --sub 0.03 --ins 0.02 --del 0.02 \
  -o "$dir/long.fq.gz" >/dev/null
"$sim" pairs -g "$dir/ref.fa" --seed 33 -n 2001 --read-len 150 --sub 0.01 -1 "$dir/r1.fq" -2 "$dir/r2.fq" >/dev/null
gzip "$dir/r1.fq" "$dir/r2.fq"
samtools import -0 "$dir/long.fq.gz" -o "$dir/long.bam"
printf 'sample\tpreset\treads\tplatform\tlibrary\n' >"$dir/samples.tsv"
printf 'long\tmap-ont\t%s\tONT\tL1\n' "$dir/long.fq.gz" >>"$dir/samples.tsv"
printf 'short\tsr\t%s,%s\tILLUMINA\tL2\n' "$dir/r1.fq.gz" "$dir/r2.fq.gz" >>"$dir/samples.tsv"
printf 'ubam\tmap-ont\t%s\t\t\n' "$dir/long.bam" >>"$dir/samples.tsv"
run() {  # run SHEET OUTDIR LOG
  snakemake -s "$src/workflow/Snakefile" --directory "$dir" --cores 2 --config samples="$1" reference="$dir/ref.fa" \
    shards=3 threads=1 outdir="$2" lodestar="$cmd" >"$3" 2>&1
}
run "$dir/samples.tsv" "$dir/out" "$dir/snakemake.log" || { cat "$dir/snakemake.log"; fail "the workflow failed"; }

[ "$(ls "$dir/out/index")" = $'map-ont.idx\nsr.idx' ] || fail "indexes built: $(ls "$dir/out/index")"
[ "$(grep -c '^rule index:' "$dir/snakemake.log")" = 2 ] || fail "not one index job per preset"
while IFS=$'\t' read -r s preset rg reads; do
  bam=$dir/out/$s/$s.bam
  samtools quickcheck "$bam" && [ -s "$bam.bai" ] || fail "$s: merged BAM or its index missing"
  [ "$(samtools view -H "$bam" | grep '^@RG')" = "$(printf "$rg")" ] || fail "$s: read group $(samtools view -H "$bam" | grep '^@RG')"
  [ "$(ls "$dir/out/$s/shards" | grep -c '_1.seq.gz')" = 3 ] || fail "$s: not 3 shards"
  # shellcheck disable=SC2086
  why=$(same_as_one_run "$cmd" "$preset" "$rg" "$bam" 150 "$dir/ref.fa" $reads)
  [ -z "$why" ] || fail "$s: $why"
done <<END
long	map-ont	@RG\tID:long\tSM:long\tPL:ONT\tLB:L1	$dir/long.fq.gz
short	sr	@RG\tID:short\tSM:short\tPL:ILLUMINA\tLB:L2	$dir/r1.fq.gz $dir/r2.fq.gz
END
samtools view -H "$dir/out/ubam/ubam.bam" | grep -q $'^@RG\tID:ubam\tSM:ubam$' || fail "ubam: read group"
for s in long short ubam; do [ -s "$dir/out/$s/$s.flagstat" ] && [ -s "$dir/out/$s/$s.stats" ] || fail "$s: no flagstat/stats"; done

# summary.tsv: sample, reads, mapped %, properly paired %, error rate, mean
# MAPQ, CPU seconds; reads are those generated (2 per pair).
python3 - "$dir/out/summary.tsv" <<'END' || fail "summary.tsv: $(cat "$dir/out/summary.tsv")"
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1])]
want = {"long": (150, False), "short": (4002, True), "ubam": (150, False)}
assert rows[0][:2] == ["sample", "reads"] and len(rows) == 4, "one row per sample"
for s, reads, mapped, proper, err, mapq, cpu in rows[1:]:
    n, paired = want.pop(s)
    assert int(reads) == n, s
    assert 90 <= float(mapped) <= 100, s
    assert (float(proper) >= 90) if paired else float(proper) == 0, s
    assert 0 < float(err) < (0.03 if paired else 0.15), s
    assert 20 <= float(mapq) <= 60 and float(cpu) > 0, s
END

# Bad sheets: name, the row (after the header), the words expected.
while IFS='|' read -r name row expect; do
  printf 'sample\tpreset\treads\nok\tsr\t%s\n%b\n' "$dir/r1.fq.gz" "$row" >"$dir/bad.tsv"
  if run "$dir/bad.tsv" "$dir/bad" "$dir/bad.log"; then fail "$name: the sheet was accepted"; fi
  grep -q "bad.tsv line 3.*$expect" "$dir/bad.log" || fail "$name: message: $(cat "$dir/bad.log")"
  [ ! -e "$dir/bad" ] && ! grep -q '^rule ' "$dir/bad.log" || fail "$name: a job started"
done <<END
duplicate name|ok\tsr\t$dir/r2.fq.gz|sample name already used by .*line 2
missing file|s2\tsr\t$dir/none.fq.gz|reads file $dir/none.fq.gz does not exist
unknown preset|s2\tmap-xyz\t$dir/r1.fq.gz|unknown preset 'map-xyz'
column count|s2\tsr|2 columns, the header has 3
END
echo "samples: 3 samples mapped, 2 indexes, summary checked, 4 bad sheets refused"
