#!/usr/bin/env bash
# Installs what is missing, builds, generates a small example (a 2 Mb genome
# with repeats and simulated long reads from both strands) and maps it: the
# reads as FASTA to PAF, then as an unaligned BAM (the form sequencers deliver)
# to a BAM file.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --example
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target lodestar-cmd lodestar-lite lodestar-sim
build/lodestar-sim example example
build/lodestar -x map-ont -c example/genome.fa example/reads.fa > example/mappings.paf
echo "Mapped example/reads.fa against example/genome.fa: $(wc -l < example/mappings.paf) lines in example/mappings.paf"
head -n 5 example/mappings.paf | cut -c1-150
samtools import -0 example/reads.fa -o example/reads.bam 2>/dev/null
build/lodestar -ax map-ont -o example/mappings.bam example/genome.fa example/reads.bam
echo "Mapped the same reads given as example/reads.bam: $(samtools view -c -F 0x900 example/mappings.bam) primary records in example/mappings.bam"
