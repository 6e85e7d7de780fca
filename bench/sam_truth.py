#!/usr/bin/env python3
"""Accuracy of a SAM file of reads from the generator, whose names carry the
true origin: r<i>!<contig>!<start>!<end>!<strand>[!flags][/1|/2], start and
end 0-based and half-open on the reference, the strand that of the read (of
the fragment, for pairs: the second mate lies on the other strand).

Only primaries count (flag & 0x904 == 0: not unmapped, not secondary, not
supplementary), the first one of each read (each mate of a pair is a read).
A primary is right when it lies on the true contig, on the true strand, and
its reference interval overlaps the true one by at least one base.

    sam_truth.py N_READS file.sam     prints: reads mapped mapq60 wrong60 wrong_all
    sam_truth.py --self-test          checks the rules on a few hand-made lines
N_READS is the number of reads given to the mapper (pairs: twice the pairs),
so that reads the mapper left out count as unmapped."""
import re
import sys

CIGAR_OP = re.compile(r"(\d+)([MIDNSHP=X])")


def ref_span(cigar):
    """Reference bases a CIGAR covers (M, D, N, = and X move along it)."""
    return sum(int(n) for n, op in CIGAR_OP.findall(cigar) if op in "MDN=X")


def truth(qname, mate):
    """(contig, start, end, strand) of a read, from its name; the second mate
    of a pair reads the other strand of the fragment."""
    name = qname
    if len(name) > 2 and name[-2] == "/" and name[-1] in "12":
        mate = int(name[-1])
        name = name[:-2]
    f = name.split("!")
    if len(f) < 5:
        raise ValueError("read name %r does not carry an origin" % qname)
    strand = f[4]
    if mate == 2:
        strand = "-" if strand == "+" else "+"
    return f[1], int(f[2]), int(f[3]), strand


def primaries(lines):
    """{read key: (mapq, right)} for the first primary of each read."""
    out = {}
    for line in lines:
        if line.startswith("@"):
            continue
        f = line.rstrip("\n").split("\t")
        if len(f) < 11:
            raise ValueError("SAM line with %d fields: %.60s" % (len(f), line))
        flag = int(f[1])
        if flag & 0x904:
            continue
        mate = 1 if flag & 0x40 else 2 if flag & 0x80 else 0
        key = (f[0], mate)
        if key in out:
            continue
        contig, start, end, strand = truth(f[0], mate)
        rs = int(f[3]) - 1
        re_ = rs + ref_span(f[5])
        right = (f[2] == contig and ("-" if flag & 0x10 else "+") == strand
                 and rs < end and start < re_)
        out[key] = (int(f[4]), right)
    return out


def summary(n_reads, hits):
    """(reads, mapped, at mapq 60, wrong at mapq 60, wrong among mapped)."""
    at60 = [ok for q, ok in hits.values() if q >= 60]
    wrong = sum(1 for _, ok in hits.values() if not ok)
    return n_reads, len(hits), len(at60), len(at60) - sum(at60), wrong


def self_test():
    sam = [
        "@SQ\tSN:c1\tLN:1000",
        # right: forward, overlaps [100, 200)
        "r0!c1!100!200!+\t0\tc1\t150\t60\t100M\t*\t0\t0\t*\t*",
        # wrong strand
        "r1!c1!100!200!+\t16\tc1\t101\t60\t100M\t*\t0\t0\t*\t*",
        # ends at base 100 (0-based, exclusive): touches but does not overlap
        "r2!c1!100!200!-\t16\tc1\t51\t60\t30M10D10M\t*\t0\t0\t*\t*",
        # wrong contig, low quality
        "r3!c1!100!200!-\t16\tc2\t101\t5\t100M\t*\t0\t0\t*\t*",
        # secondary and supplementary lines never count; the primary after them does
        "r4!c1!0!50!+\t256\tc1\t500\t0\t50M\t*\t0\t0\t*\t*",
        "r4!c1!0!50!+\t2048\tc1\t500\t0\t50M\t*\t0\t0\t*\t*",
        "r4!c1!0!50!+\t0\tc1\t1\t60\t10S40M\t*\t0\t0\t*\t*",
        # unmapped
        "r5!c1!0!50!+\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*",
        # a pair: mate 1 on the fragment's strand, mate 2 on the other
        "r6!c1!300!700!+\t99\tc1\t301\t60\t150M\t=\t551\t400\t*\t*",
        "r6!c1!300!700!+\t147\tc1\t551\t60\t150M\t=\t301\t-400\t*\t*",
        "r7!c1!300!700!-\t97\tc1\t551\t60\t150M\t=\t301\t-400\t*\t*",
        "r7!c1!300!700!-\t145\tc1\t301\t60\t150M\t=\t551\t400\t*\t*",
    ]
    hits = primaries(sam)
    want = {("r0!c1!100!200!+", 0): (60, True), ("r1!c1!100!200!+", 0): (60, False),
            ("r2!c1!100!200!-", 0): (60, False), ("r3!c1!100!200!-", 0): (5, False),
            ("r4!c1!0!50!+", 0): (60, True),
            ("r6!c1!300!700!+", 1): (60, True), ("r6!c1!300!700!+", 2): (60, True),
            ("r7!c1!300!700!-", 1): (60, False), ("r7!c1!300!700!-", 2): (60, False)}
    assert hits == want, hits
    assert summary(11, hits) == (11, 9, 8, 4, 5), summary(11, hits)
    assert ref_span("5S10M2I3D4N1=1X7H") == 19
    assert truth("r9!c1!5!9!+/2", 0) == ("c1", 5, 9, "-")
    print("sam_truth.py: self-test passed")


def main():
    args = sys.argv[1:]
    if args == ["--self-test"]:
        self_test()
        return
    if len(args) != 2:
        sys.exit("usage: sam_truth.py N_READS file.sam | --self-test")
    with open(args[1]) as f:
        print("%d %d %d %d %d" % summary(int(args[0]), primaries(f)))


if __name__ == "__main__":
    main()
