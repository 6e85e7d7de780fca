#!/usr/bin/env python3
"""Splits reads into N shards in one pass, keeping mates together.

    split_reads.py --shards N --prefix P reads.fq.gz [mates.fq.gz]

Writes P{i}_{m}.seq.gz for shard i = 0..N-1 and mate file m = 1 (and 2),
each in the format of its input (FASTA or FASTQ, gzip level 1). Fragments
are dealt to the shards in turn (fragment j to shard j mod N) as they are
read, so the input is read once and shards differ in size by at most one
fragment; a shard may be empty when there are fewer fragments than shards.
With two files, record j of both goes to the same shard. With one file,
records whose names differ only in a final /1, /2, ... (interleaved mates)
stay together. Records are copied as they are, line breaks included.
"""
import argparse
import gzip
import sys


def open_text(path):
    with open(path, "rb") as f:
        gz = f.read(2) == b"\x1f\x8b"
    return gzip.open(path, "rt") if gz else open(path, "rt")


def records(path):
    """Yields (header line, record text) for FASTA or FASTQ, with the
    record's lines as they are in the file."""
    with open_text(path) as f:
        line = f.readline()
        while line:
            if not line.strip():
                line = f.readline()
                continue
            header = line
            if line[0] == ">":
                lines = [line]
                line = f.readline()
                while line and line[0] != ">":
                    lines.append(line)
                    line = f.readline()
                yield header, "".join(lines)
            elif line[0] == "@":
                seq, sep, qual = f.readline(), f.readline(), f.readline()
                if sep[:1] == "+" and len(seq.rstrip("\r\n")) == len(qual.rstrip("\r\n")):
                    # The usual four lines.
                    yield header, header + seq + sep + qual
                else:
                    yield header, multiline_fastq(f, path, header, [seq, sep, qual])
                line = f.readline()
            else:
                sys.exit(f"split_reads: {path}: a record starts with neither '>' nor '@'")


def multiline_fastq(f, path, header, lines):
    """A FASTQ record whose sequence or quality spans several lines; lines
    holds those read after the header."""
    n_seq, i = 0, 0
    while True:
        if i == len(lines):
            lines.append(f.readline())
        if not lines[i]:
            sys.exit(f"split_reads: {path}: FASTQ record {header[1:].strip()} ends early")
        if lines[i][0] == "+":
            break
        n_seq += len(lines[i].rstrip("\r\n"))
        i += 1
    n_qual, i = 0, i + 1
    while n_qual < n_seq:
        if i == len(lines):
            lines.append(f.readline())
        if not lines[i]:
            sys.exit(f"split_reads: {path}: FASTQ record {header[1:].strip()} ends early")
        n_qual += len(lines[i].rstrip("\r\n"))
        i += 1
    # The quality can end within the caller's three lines only when it is
    # longer than the sequence.
    if i < len(lines):
        sys.exit(f"split_reads: {path}: FASTQ record {header[1:].strip()}: quality longer than sequence")
    return header + "".join(lines)


def stem(header):
    name = header[1:].split(None, 1)[0] if len(header) > 1 else ""
    if len(name) >= 3 and name[-2] == "/" and name[-1].isdigit():
        return name[:-2]
    return name


def fragments(paths):
    """Yields fragments: one text per file, each one or more whole records."""
    if len(paths) == 2:
        b = records(paths[1])
        for _, x in records(paths[0]):
            y = next(b, None)
            if y is None:
                sys.exit(f"split_reads: {paths[1]} has fewer records than {paths[0]}")
            yield [x, y[1]]
        if next(b, None) is not None:
            sys.exit(f"split_reads: {paths[1]} has more records than {paths[0]}")
        return
    group, last = [], None
    for header, text in records(paths[0]):
        s = stem(header)
        if group and s != last:
            yield ["".join(group)]
            group = []
        group.append(text)
        last = s
    if group:
        yield ["".join(group)]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--shards", type=int, required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("reads", nargs="+")
    args = ap.parse_args()
    if len(args.reads) > 2 or args.shards < 1:
        ap.error("give one or two read files and at least one shard")
    outs = []
    total = 0
    try:
        for i in range(args.shards):
            outs.append([gzip.open(f"{args.prefix}{i}_{m + 1}.seq.gz", "wt", compresslevel=1)
                         for m in range(len(args.reads))])
        for frag in fragments(args.reads):
            files = outs[total % args.shards]
            for m, text in enumerate(frag):
                files[m].write(text)
            total += 1
    finally:
        for files in outs:
            for f in files:
                f.close()
    print(f"split_reads: {total} fragments into {args.shards} shards", file=sys.stderr)


if __name__ == "__main__":
    main()
