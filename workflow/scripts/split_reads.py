#!/usr/bin/env python3
"""Splits reads into N shards of consecutive records, keeping mates together.

    split_reads.py --shards N --prefix P reads.fq.gz [mates.fq.gz]

Writes P{i}_{m}.seq.gz for shard i = 0..N-1 and mate file m = 1 (and 2),
each in the format of its input (FASTA or FASTQ, gzip level 1). With two
files, record j of both goes to the same shard. With one file, records whose
names differ only in a final /1, /2, ... (interleaved mates) stay together.
Shards differ in size by at most one fragment; a shard may be empty when
there are fewer fragments than shards.
"""
import argparse
import gzip
import sys


def open_text(path):
    with open(path, "rb") as f:
        gz = f.read(2) == b"\x1f\x8b"
    return gzip.open(path, "rt") if gz else open(path, "rt")


def sequence_lines(f, stop):
    """Joins sequence lines up to one that starts with stop (or the end);
    returns the sequence and that line."""
    seq = []
    line = f.readline()
    while line and line[0] != stop:
        seq.append(line.strip())
        line = f.readline()
    return "".join(seq), line


def records(path):
    """Yields (header line, sequence, quality or None) for FASTA or FASTQ."""
    with open_text(path) as f:
        line = f.readline()
        while line:
            line = line.rstrip("\r\n")
            if not line:
                line = f.readline()
                continue
            header = line
            if line[0] == ">":
                seq, line = sequence_lines(f, ">")
                yield header, seq, None
            elif line[0] == "@":
                seq, _ = sequence_lines(f, "+")
                qual = []
                n = 0
                while n < len(seq):
                    q = f.readline()
                    if not q:
                        sys.exit(f"split_reads: {path}: FASTQ record {header[1:]} ends early")
                    q = q.rstrip("\r\n")
                    qual.append(q)
                    n += len(q)
                yield header, seq, "".join(qual)
                line = f.readline()
            else:
                sys.exit(f"split_reads: {path}: a record starts with neither '>' nor '@'")


def stem(header):
    name = header[1:].split(None, 1)[0] if len(header) > 1 else ""
    if len(name) >= 3 and name[-2] == "/" and name[-1].isdigit():
        return name[:-2]
    return name


def fragments(paths):
    """Yields fragments: lists (one per file) of lists of records."""
    if len(paths) == 2:
        for a, b in zip_strict(records(paths[0]), records(paths[1]), paths):
            yield [[a], [b]]
        return
    group = []
    for r in records(paths[0]):
        if group and stem(r[0]) != stem(group[-1][0]):
            yield [group]
            group = []
        group.append(r)
    if group:
        yield [group]


def zip_strict(a, b, paths):
    for x in a:
        y = next(b, None)
        if y is None:
            sys.exit(f"split_reads: {paths[1]} has fewer records than {paths[0]}")
        yield x, y
    if next(b, None) is not None:
        sys.exit(f"split_reads: {paths[1]} has more records than {paths[0]}")


def write(out, rec):
    header, seq, qual = rec
    if qual is None:
        out.write(f"{header}\n{seq}\n")
    else:
        out.write(f"{header}\n{seq}\n+\n{qual}\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--shards", type=int, required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("reads", nargs="+")
    args = ap.parse_args()
    if len(args.reads) > 2 or args.shards < 1:
        ap.error("give one or two read files and at least one shard")
    total = sum(1 for _ in fragments(args.reads))
    outs = []
    try:
        for i in range(args.shards):
            outs.append([gzip.open(f"{args.prefix}{i}_{m + 1}.seq.gz", "wt", compresslevel=1)
                         for m in range(len(args.reads))])
        # Shard i takes fragments [i * total // N, (i + 1) * total // N).
        shard = 0
        for j, frag in enumerate(fragments(args.reads)):
            while j >= (shard + 1) * total // args.shards:
                shard += 1
            for m, recs in enumerate(frag):
                for r in recs:
                    write(outs[shard][m], r)
    finally:
        for files in outs:
            for f in files:
                f.close()
    print(f"split_reads: {total} fragments into {args.shards} shards", file=sys.stderr)


if __name__ == "__main__":
    main()
