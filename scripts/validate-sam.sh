#!/usr/bin/env bash
# Checks the SAM of every mapping mode with Picard's ValidateSamFile (Java,
# so not part of CI): long noisy reads, HiFi-like reads, short pairs and
# spliced transcripts, each with a read group, sorted by samtools, must give
# "No errors found". Installs picard-tools and samtools when missing.
#   scripts/validate-sam.sh [work-dir]     (default: build/validate-sam)
set -euo pipefail
cd "$(dirname "$0")/.."
# Without Picard, Java or samtools (and no way to install them) the check is
# skipped with status 77, like the test suite's optional tools.
scripts/deps.sh --validate || true
for tool in PicardCommandLine java samtools python3; do
  command -v "$tool" >/dev/null || { echo "validate-sam: $tool is not installed: skipped" >&2; exit 77; }
done
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target lodestar-cmd lodestar-sim >/dev/null
work="${1:-build/validate-sam}"
mkdir -p "$work"
sim=build/lodestar-sim
map=build/lodestar

$sim genome --seed 3 --size 3M --contigs 4 --repeats 8 --repeat-len 3000 --diverged 6 --tandems 6 \
  --nruns 2 --inversions 1 --deletions 1 -o "$work/ref.fa" >/dev/null
$sim reads -g "$work/ref.fa" --seed 5 -n 400 --mean-len 8000 --sd-len 3000 --sub 0.05 --ins 0.03 \
  --del 0.04 --random 0.02 --random-qual -o "$work/ont.fq" >/dev/null
$sim reads -g "$work/ref.fa" --seed 6 -n 300 --mean-len 12000 --sd-len 2000 --sub 0.003 --ins 0.002 \
  --del 0.002 --random-qual -o "$work/hifi.fq" >/dev/null
$sim pairs -g "$work/ref.fa" --seed 7 -n 2000 --mean-len 400 --sd-len 80 --min-len 200 --read-len 150 \
  --sub 0.01 --random 0.01 --random-qual --suffix -1 "$work/sr_1.fq" -2 "$work/sr_2.fq" >/dev/null

# Spliced: transcripts of planted genes (canonical GT..AG introns), one per
# strand, with their BED12 annotation.
python3 - "$work" <<'EOF'
import random, sys
work = sys.argv[1]
rnd = random.Random(17)
g = [rnd.choice("ACGT") for _ in range(400000)]
comp = {"A": "T", "C": "G", "G": "C", "T": "A"}
bed, tx = [], []
for gi in range(40):
    start = 5000 + gi * 9500
    exons, pos = [], start
    for _ in range(rnd.randint(2, 5)):
        length = rnd.randint(120, 600)
        exons.append((pos, pos + length))
        pos += length + rnd.randint(300, 1500)
    if exons[-1][1] > start + 9000:
        continue
    for (a, b), (c, d) in zip(exons, exons[1:]):
        g[b], g[b + 1], g[c - 2], g[c - 1] = "G", "T", "A", "G"
    seq = "".join("".join(g[a:b]) for a, b in exons)
    strand = "+" if gi % 2 == 0 else "-"
    if strand == "-":
        seq = "".join(comp[x] for x in reversed(seq))
    tx.append("@tx%d\n%s\n+\n%s\n" % (gi, seq, "I" * len(seq)))
    sizes = ",".join(str(b - a) for a, b in exons) + ","
    starts = ",".join(str(a - start) for a, b in exons) + ","
    bed.append("chrS\t%d\t%d\ttx%d\t0\t+\t%d\t%d\t0\t%d\t%s\t%s\n" % (start, exons[-1][1], gi, start,
               exons[-1][1], len(exons), sizes, starts))
open(work + "/gene.fa", "w").write(">chrS\n" + "".join(g) + "\n")
open(work + "/gene.bed", "w").write("".join(bed))
open(work + "/tx.fq", "w").write("".join(tx))
EOF

run_mode() {
  local name=$1 platform=$2; shift 2
  "$map" -t 2 -a -R "@RG\\tID:$name\\tSM:sample1\\tPL:$platform" "$@" 2>/dev/null | samtools sort -o "$work/$name.bam" - 2>/dev/null
  echo "== $name: $(samtools view -c "$work/$name.bam") records"
  PicardCommandLine ValidateSamFile I="$work/$name.bam" MODE=SUMMARY 2>/dev/null
}
status=0
run_mode long-noisy ONT -x map-ont "$work/ref.fa" "$work/ont.fq" || status=1
run_mode hifi PACBIO -x map-hifi "$work/ref.fa" "$work/hifi.fq" || status=1
run_mode short-pairs ILLUMINA -x sr "$work/ref.fa" "$work/sr_1.fq" "$work/sr_2.fq" || status=1
run_mode spliced ONT -x splice --junc-bed "$work/gene.bed" "$work/gene.fa" "$work/tx.fq" || status=1
exit $status
