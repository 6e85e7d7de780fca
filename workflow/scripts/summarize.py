#!/usr/bin/env python3
"""One line per sample from its samtools stats, mean mapping quality and
mapping jobs' CPU times.

    summarize.py --outdir DIR SAMPLE...

Reads DIR/SAMPLE/SAMPLE.stats, DIR/SAMPLE/SAMPLE.mapq and the mapping jobs'
CPU times DIR/SAMPLE/benchmarks/map*.cpu; writes a tab-separated table to
stdout.
Percentages are of the primary reads (samtools stats leaves out secondary
and supplementary records); the error rate is mismatches (NM) per aligned
base; CPU seconds are summed over the sample's mapping jobs.
"""
import argparse
import glob
import os
import sys

COLUMNS = ["sample", "reads", "mapped_pct", "properly_paired_pct", "error_rate", "mean_mapq", "map_cpu_s"]


def summary_numbers(path):
    """The SN section of samtools stats as {name: text}."""
    sn = {}
    with open(path) as f:
        for line in f:
            if line.startswith("SN\t"):
                name, value = line.split("\t")[1:3]
                sn[name.rstrip(":")] = value.strip()
    return sn


def cpu_seconds(paths):
    """Sums user and system time of the children from bash's "times" output
    (second line: "1m2.345s 0m0.678s")."""
    total = 0.0
    for p in paths:
        with open(p) as f:
            for t in f.read().splitlines()[1].split():
                m, sec = t.rstrip("s").replace(",", ".").split("m")  # a locale's decimal comma
                total += 60 * int(m) + float(sec)
    return total


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--outdir", required=True)
    ap.add_argument("samples", nargs="+")
    args = ap.parse_args()
    print("\t".join(COLUMNS))
    for s in args.samples:
        d = os.path.join(args.outdir, s)
        stats = os.path.join(d, s + ".stats")
        try:
            sn = summary_numbers(stats)
            reads = int(sn["raw total sequences"])
            with open(os.path.join(d, s + ".mapq")) as f:
                mapq = f.read().strip()
            pct = lambda n: f"{100.0 * int(sn[n]) / reads:.2f}" if reads else "0.00"
            row = [s, str(reads), pct("reads mapped"), pct("reads properly paired"),
                   f"{float(sn['error rate']):.6f}", mapq,
                   f"{cpu_seconds(sorted(glob.glob(os.path.join(d, 'benchmarks', 'map*.cpu')))):.2f}"]
        except (OSError, KeyError, ValueError, IndexError) as e:
            sys.exit(f"summarize: sample {s}: {stats} or its neighbours cannot be read ({e})")
        print("\t".join(row))


if __name__ == "__main__":
    main()
