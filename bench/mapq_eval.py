#!/usr/bin/env python3
"""Mapping-quality report for reads from the generator (names carry the true
origin: r<i>!<contig>!<start>!<end>!<strand>[!flags]). For each PAF given as
LABEL=FILE: the share of all reads whose primary reaches a quality
threshold, the wrong placements among them, and a calibration table
(quality bin -> mean predicted and observed error rate).
    mapq_eval.py [--pairs] N_READS spec=a.paf new=b.paf
With --pairs, the two mates of a pair (one name) count as two reads: the
first primary line of a name is the first mate's, the second the other's."""
import sys

THRESHOLDS = (60, 30, 10, 1)
BINS = ((0, 0), (1, 9), (10, 19), (20, 29), (30, 39), (40, 49), (50, 59), (60, 60))


def primaries(path, pairs):
    """(mapq, correct) of each read's primary."""
    out = {}
    seen = {}
    for line in open(path):
        f = line.rstrip("\n").split("\t")
        if len(f) < 12 or "tp:A:P" not in f[12:]:
            continue
        name = f[0]
        origin = name.split("!")
        contig, start, end = origin[1], int(origin[2]), int(origin[3])
        rs, re_ = int(f[7]), int(f[8])
        correct = f[5] == contig and rs < end and start < re_
        if pairs:
            k = seen.get(name, 0)
            seen[name] = k + 1
            name = (name, k)
        if name not in out:  # the first primary line of a read
            out[name] = (int(f[11]), correct)
    return out


def main():
    args = sys.argv[1:]
    pairs = args[0] == "--pairs"
    if pairs:
        args = args[1:]
    n_reads = int(args[0])
    runs = [a.split("=", 1) for a in args[1:]]
    hits = {label: primaries(path, pairs) for label, path in runs}
    print("%-6s %8s %8s" % ("model", "mapped", "correct") +
          "".join("  %11s" % ("mapq>=%d" % t) for t in THRESHOLDS) + "  (share of reads, wrong ones)")
    for label, h in hits.items():
        n_ok = sum(ok for _, ok in h.values())
        cells = []
        for t in THRESHOLDS:
            sel = [ok for q, ok in h.values() if q >= t]
            cells.append("%6.2f%% %4d" % (100.0 * len(sel) / n_reads, len(sel) - sum(sel)))
        print("%-6s %7.2f%% %7.2f%%" % (label, 100.0 * len(h) / n_reads, 100.0 * n_ok / n_reads) +
              "".join("  %11s" % c for c in cells))
        at60 = sum(ok for q, ok in h.values() if q >= 60)
        print("       correct primaries at mapq 60: %d of %d (%.2f%%)" % (at60, n_ok, 100.0 * at60 / max(n_ok, 1)))
    for label, h in hits.items():
        print("calibration, %s: bin  reads  predicted  observed" % label)
        for lo, hi in BINS:
            sel = [(q, ok) for q, ok in h.values() if lo <= q <= hi]
            if not sel:
                continue
            pred = sum(10 ** (-q / 10.0) for q, _ in sel) / len(sel)
            obs = sum(1 for _, ok in sel if not ok) / len(sel)
            print("  %2d-%-2d %6d  %9.5f  %8.5f" % (lo, hi, len(sel), pred, obs))


if __name__ == "__main__":
    main()
