"""The Python module on generated data: its mappings must be the command's,
line for line. Run by ctest with LODESTAR_CMD, LODESTAR_SIM and the module on
PYTHONPATH."""
import gzip
import os
import subprocess
import threading

import pytest

import lodestar

CMD = os.environ["LODESTAR_CMD"]
SIM = os.environ["LODESTAR_SIM"]


@pytest.fixture(scope="session")
def data(tmp_path_factory):
    d = tmp_path_factory.mktemp("data")
    sim = lambda *a: subprocess.run([SIM, *map(str, a)], check=True, capture_output=True)
    sim("genome", "--seed", 3, "--size", "1M", "--contigs", 2, "--repeats", 4, "-o", d / "g.fa")
    sim("reads", "-g", d / "g.fa", "--seed", 5, "-n", 300, "--mean-len", 5000, "--sd-len", 1500,
        "--sub", 0.05, "--ins", 0.03, "--del", 0.04, "-o", d / "long.fq")
    sim("pairs", "-g", d / "g.fa", "--seed", 6, "-n", 400, "--read-len", 150, "--sub", 0.01,
        "-1", d / "r1.fq", "-2", d / "r2.fq")
    return d


def command_lines(*args):
    out = subprocess.run([CMD, "-t", "2", *map(str, args)], check=True, capture_output=True, text=True).stdout
    return out.splitlines()


def fasta(path):
    seqs, name = {}, None
    for line in open(path):
        if line.startswith(">"):
            name = line[1:].split()[0]
            seqs[name] = []
        else:
            seqs[name].append(line.strip())
    return {k: "".join(v) for k, v in seqs.items()}


@pytest.mark.parametrize("preset,options,cmd_options,files", [
    ("map-ont", {"c": True, "cs": True}, ["-c", "--cs"], ["long.fq"]),
    ("map-hifi", {"MD": True, "secondary": "no"}, ["--MD", "--secondary=no"], ["long.fq"]),
    ("sr", {}, [], ["r1.fq", "r2.fq"]),
])
def test_mappings_equal_the_command(data, preset, options, cmd_options, files):
    index = lodestar.Index.build(str(data / "g.fa"), preset=preset)
    mapper = lodestar.Mapper(index, preset=preset, **options)
    paths = [str(data / f) for f in files]
    expected = command_lines("-x", preset, *cmd_options, data / "g.fa", *paths)
    by_file = [(name, m) for name, ms in mapper.map_file(*paths, threads=2) for m in ms]
    assert [m.to_paf() for _, m in by_file] == expected
    assert all(m.query_name == name for name, m in by_file)
    sam_mapper = lodestar.Mapper(index, preset=preset, a=True, **options)
    sam = [m.to_sam() for _, ms in sam_mapper.map_file(*paths) for m in ms]
    # The command also writes a record for each unmapped read.
    assert sam == [l for l in command_lines("-a", "-x", preset, *cmd_options, data / "g.fa", *paths)
                   if not l.startswith("@") and not int(l.split("\t")[1]) & 4]
    if len(paths) == 1:
        # One sequence at a time gives the same mappings as the file.
        reads = list(lodestar.read_sequences(paths[0]))[:40]
        one = [m.to_paf() for name, seq, _, _ in reads for m in mapper.map_sequence(seq, name=name)]
        assert one == [l for l in expected if l.split("\t")[0] in {r[0] for r in reads}]
    for _, m in by_file[:50]:
        f = m.to_paf().split("\t")
        assert [m.query_length, m.query_start, m.query_end, m.strand, m.target_name, m.target_length,
                m.target_start, m.target_end, m.matches, m.block_length, m.mapq] == \
            [int(f[1]), int(f[2]), int(f[3]), f[4], f[5], int(f[6]), int(f[7]), int(f[8]), int(f[9]),
             int(f[10]), int(f[11])]
        tags = dict(t.split(":", 1) for t in f[12:])
        assert m.kind == {"P": "primary", "S": "secondary"}[tags["tp"][2]] or m.kind == "supplementary"
        if m.cigar is not None:
            assert m.NM == int(tags["NM"][2:])
            assert "".join(f"{n}{op}" for n, op in m.cigar_tuples) == m.cigar
            assert sum(n for n, op in m.cigar_tuples if op in "MD") == m.target_end - m.target_start
        assert m.cs == (tags["cs"][2:] if "cs" in tags else None)
        assert m.MD == (tags["MD"][2:] if "MD" in tags else None)


def test_index_round_trip_and_bases(data, tmp_path):
    index = lodestar.Index.build(str(data / "g.fa"), k=17, w=11, threads=2)
    ref = fasta(data / "g.fa")
    assert index.names == list(ref) and index.lengths == [len(s) for s in ref.values()]
    name = index.names[1]
    assert index.fetch(name, 1000, 1300) == ref[name][1000:1300].upper()
    assert index.fetch(name, 5, 5) == ""
    read = ref[name][20000:24000]
    for fmt in ("mapped", "stream"):
        index.save(str(tmp_path / "g.idx"), format=fmt)
        with open(tmp_path / "g.idx", "rb") as f:
            assert f.read(4) == (b"LSI\4" if fmt == "mapped" else b"LSI\3")
        loaded = lodestar.Index.load(str(tmp_path / "g.idx"))
        assert loaded.names == index.names and loaded.fetch(name, 0, 100) == index.fetch(name, 0, 100)
        hits = lodestar.Mapper(loaded, k=17, w=11, c=True).map_sequence(read, name="x")
        assert (hits[0].target_name, hits[0].target_start, hits[0].target_end) == (name, 20000, 24000)
    with pytest.raises(ValueError, match="format"):
        index.save(str(tmp_path / "g.idx"), format="zip")


def test_bam_reads_map_as_their_fastq(data, tmp_path):
    if subprocess.run(["samtools", "--version"], capture_output=True).returncode != 0:
        pytest.skip("samtools not installed")
    bam = tmp_path / "long.bam"
    subprocess.run(["samtools", "import", "-0", data / "long.fq", "-o", bam], check=True, capture_output=True)
    mapper = lodestar.Mapper(lodestar.Index.build(str(data / "g.fa"), preset="map-ont"), preset="map-ont", a=True)
    sam = lambda path: [m.to_sam() for _, ms in mapper.map_file(str(path)) for m in ms]
    assert sam(bam) == sam(data / "long.fq")
    assert list(lodestar.read_sequences(str(bam)))[:3] == list(lodestar.read_sequences(str(data / "long.fq")))[:3]


def test_read_sequences_gzip_fastq(tmp_path):
    p = tmp_path / "r.fq.gz"
    with gzip.open(p, "wt") as f:
        f.write("@a first read\nACGU\n+\nIIII\n@b\nGGT\n+\n!!#\n")
    assert list(lodestar.read_sequences(str(p))) == [("a", "ACGU", "IIII", "first read"), ("b", "GGT", "!!#", None)]


def test_two_mappers_keep_their_read_groups_and_options(data):
    index = lodestar.Index.build(str(data / "g.fa"), preset="map-ont")
    reads = str(data / "long.fq")
    mappers = {"a": lodestar.Mapper(index, preset="map-ont", read_group="@RG\tID:a\tSM:one", a=True),
               "b": lodestar.Mapper(index, preset="map-ont", read_group="@RG\tID:b", a=True, secondary="no")}
    # Interleaved use: each file iterator formats with its own mapper's run.
    its = {k: m.map_file(reads) for k, m in mappers.items()}
    got = {k: [] for k in its}
    for pair in zip(*its.values()):
        for k, (_, ms) in zip(its, pair):
            got[k] += [m.to_sam() for m in ms]
    for k, opts in (("a", []), ("b", ["--secondary=no"])):
        expected = [l for l in command_lines("-a", "-x", "map-ont", *opts, "-R", "@RG\\tID:" + k +
                                             ("\\tSM:one" if k == "a" else ""), data / "g.fa", reads)
                    if not l.startswith("@") and not int(l.split("\t")[1]) & 4]
        assert got[k] == expected
    assert "\n@RG\tID:a\tSM:one\n" in mappers["a"].sam_header()
    assert "@RG" not in lodestar.Mapper(index, preset="map-ont").sam_header()
    with pytest.raises(ValueError, match="no ID within the read group line"):
        lodestar.Mapper(index, read_group="@RG\tSM:x")


def test_records_read_back_with_pysam(data):
    pysam = pytest.importorskip("pysam", reason="python3-pysam is not installed")
    mapper = lodestar.Mapper(lodestar.Index.build(str(data / "g.fa")), preset="map-ont", a=True,
                             read_group="@RG\tID:p\tSM:s")
    header = pysam.AlignmentHeader.from_text(mapper.sam_header())
    name, seq, qual, _ = next(iter(lodestar.read_sequences(str(data / "long.fq"))))
    recs = [pysam.AlignedSegment.fromstring(m.to_sam(), header)
            for m in mapper.map_sequence(seq, name=name, qual=qual)]
    primary = next(r for r in recs if not r.is_secondary and not r.is_supplementary)
    assert primary.get_tag("RG") == "p" and primary.reference_name in header.references
    want = qual[::-1] if primary.is_reverse else qual
    assert pysam.qualities_to_qualitystring(primary.query_qualities) == want
    with pytest.raises(ValueError, match="qual has 3 values"):
        mapper.map_sequence(seq, qual="III")


def test_every_listed_preset_is_accepted(data):
    index = lodestar.Index.build(str(data / "g.fa"))
    names = [n for group, help in lodestar.presets() for n in group.split(", ") if help]
    assert {"map-ont", "sr", "asm20", "splice:sr"} <= set(names)
    for name in names:
        lodestar.Mapper(index, preset=name)


@pytest.mark.parametrize("call,message", [
    (lambda d: lodestar.Index.build(str(d / "missing.fa")), "missing.fa"),
    (lambda d: lodestar.Index.load(str(d / "g.fa")), "not an index file"),
    (lambda d: lodestar.Mapper(lodestar.Index.build(str(d / "g.fa")), preset="nope"), "unknown preset 'nope'"),
    (lambda d: lodestar.Mapper(lodestar.Index.build(str(d / "g.fa")), preset="sr", x="map-pb"), "do not combine"),
    (lambda d: lodestar.Mapper(lodestar.Index.build(str(d / "g.fa")), junc_bed="x.bed"), "junc_bed"),
    (lambda d: lodestar.Mapper(lodestar.Index.build(str(d / "g.fa")), G=1000), "'G' is unknown or only available"),
    (lambda d: lodestar.Mapper(lodestar.Index.build(str(d / "g.fa")), k="many"), "option '-k'"),
    (lambda d: list(lodestar.read_sequences(str(d / "missing.fq"))), "missing.fq"),
    (lambda d: lodestar.Mapper(lodestar.Index.build(str(d / "g.fa"))).map_sequence(
        next(iter(fasta(d / "g.fa").values()))[1000:3000])[0].to_sam(), "base-level alignment"),
])
def test_errors_name_the_fault(data, call, message):
    with pytest.raises(ValueError, match=message):
        call(data)


def test_two_threads_share_a_mapper(data):
    # The binding lets go of the interpreter lock while it maps, so two Python
    # threads run the same mapper at once: each must get exactly what one
    # thread mapping everything in turn gets.
    mapper = lodestar.Mapper(lodestar.Index.build(str(data / "g.fa")), c=True)
    reads = [(n, s) for n, s, _, _ in lodestar.read_sequences(str(data / "long.fq"))]
    sequential = [[m.to_paf() for m in mapper.map_sequence(s, name=n)] for n, s in reads]
    together = [None] * len(reads)
    start = threading.Barrier(2)

    def work(first):
        start.wait()
        for i in range(first, len(reads), 2):
            together[i] = [m.to_paf() for m in mapper.map_sequence(reads[i][1], name=reads[i][0])]

    threads = [threading.Thread(target=work, args=(first,)) for first in (0, 1)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert together == sequential
    assert sum(map(len, sequential)) >= len(reads) // 2
