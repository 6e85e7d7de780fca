#!/usr/bin/env bash
# Mapping quality, the specified model against --mapq-from-alignment, on reads
# generated from two repeat-rich genomes of ../shared/data (human chrX 1-70 Mb
# and Dictyostelium): 2,000 reads of 2-20 kb per genome at 5%, 10% and 15%
# error. Prints per set and per genome the share of reads at mapq >= 60, 30,
# 10 and 1 with the wrong placements among them, and a calibration table.
#   bench/mapq_eval.sh [work-dir]         (default: build/mapq-eval)
set -euo pipefail
cd "$(dirname "$0")/.."
work="${1:-build/mapq-eval}"
mkdir -p "$work"
sim=build/lodestar-sim lodestar=build/lodestar
for g in human_grch37_chrX_1-70Mb dicty_ax4_genome; do
  [ -s "$work/$g.fa" ] || zcat "../shared/data/$g.fa.gz" >"$work/$g.fa"
  [ -s "$work/$g.idx" ] || $lodestar -x map-ont -t2 -d "$work/$g.idx" "$work/$g.fa" 2>/dev/null
  i=0
  for e in 05:0.02:0.015:0.015 10:0.04:0.03:0.03 15:0.06:0.045:0.045; do
    IFS=: read -r label sub ins del <<<"$e"
    i=$((i + 1))
    reads="$work/$g.$label.fa"
    [ -s "$reads" ] || $sim reads -g "$work/$g.fa" --seed $((100 + i)) -n 2000 --mean-len 8000 --sd-len 5000 \
      --min-len 2000 --max-len 20000 --sub "$sub" --ins "$ins" --del "$del" -o "$reads" >/dev/null
    $lodestar -x map-ont -t2 -c "$work/$g.idx" "$reads" >"$work/$g.$label.spec.paf" 2>/dev/null
    $lodestar -x map-ont -t2 -c --mapq-from-alignment "$work/$g.idx" "$reads" >"$work/$g.$label.new.paf" 2>/dev/null
    echo "== $g, $label% error"
    bench/mapq_eval.py 2000 spec="$work/$g.$label.spec.paf" new="$work/$g.$label.new.paf" | sed -n '1,5p'
  done
  cat "$work/$g".??.spec.paf >"$work/$g.spec.paf"
  cat "$work/$g".??.new.paf >"$work/$g.new.paf"
  echo "== $g, all three sets"
  bench/mapq_eval.py 6000 spec="$work/$g.spec.paf" new="$work/$g.new.paf"
done
