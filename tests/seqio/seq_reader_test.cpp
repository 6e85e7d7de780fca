#include "seqio/seq_reader.h"

#include <gtest/gtest.h>
#include <errno.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using lstest::TempDir;

struct Rec {
    std::string name, comment, seq, qual;
    bool operator==(const Rec &o) const {
        return name == o.name && comment == o.comment && seq == o.seq && qual == o.qual;
    }
};

std::ostream &operator<<(std::ostream &os, const Rec &r) {
    return os << "{" << r.name << "|" << r.comment << "|" << r.seq << "|" << r.qual << "}";
}

// Writes content under name, gzip-compressed when gz is set; returns the path.
std::string put(const TempDir &dir, const std::string &name, const std::string &content, bool gz) {
    std::string path = dir.file(name + (gz ? ".gz" : ""));
    if (gz)
        lstest::write_gzip(path, content);
    else
        lstest::write_file(path, content);
    return path;
}

// A parser over a file, closed at scope exit.
struct Reader {
    gzFile f;
    ls_seq_reader *ks;
    explicit Reader(const std::string &path) : f(gzopen(path.c_str(), "r")), ks(ls_seq_reader_init(f)) {}
    ~Reader() {
        ls_seq_reader_destroy(ks);
        gzclose(f);
    }
    Rec rec() const {
        return {ks->name.s, ks->comment.s ? ks->comment.s : "", ks->seq.s, ks->qual.s ? ks->qual.s : ""};
    }
};

struct Parsed {
    std::vector<Rec> recs;
    int last = 0; // the negative result that ended reading
};

Parsed parse_all(const std::string &path) {
    Reader r(path);
    Parsed p;
    int ret;
    while ((ret = ls_seq_reader_read(r.ks)) >= 0) {
        EXPECT_EQ((uint64_t)ret, r.ks->seq.l);
        p.recs.push_back(r.rec());
    }
    p.last = ret;
    return p;
}

// A batch converted to plain values; a null qual or comment becomes "<null>".
struct BRec {
    std::string name, seq, qual, comment;
    int len;
};

std::vector<BRec> take(ls_bseq_rec *a, int n) {
    std::vector<BRec> v;
    for (int i = 0; i < n; ++i) {
        v.push_back({a[i].name, a[i].seq, a[i].qual ? a[i].qual : "<null>",
                     a[i].comment ? a[i].comment : "<null>", a[i].len});
        free(a[i].name);
        free(a[i].seq);
        free(a[i].qual);
        free(a[i].comment);
    }
    free(a);
    return v;
}

std::vector<BRec> read_batch(ls_bseq_file *fp, int64_t bases, bool qual, bool comment, bool frag) {
    int n = -1;
    ls_bseq_rec *a = ls_bseq_read3(fp, bases, qual, comment, frag, &n);
    EXPECT_EQ(a == nullptr, n == 0);
    return take(a, n);
}

// Lockstep batch with comments (the two-argument form keeps the evaluation
// order of the count well defined).
std::vector<BRec> read_frag(ls_bseq_file **fp, int n_fp, int64_t bases, bool comment) {
    int n = -1;
    ls_bseq_rec *a =
        comment ? ls_bseq_read_frag2(n_fp, fp, bases, 1, 1, &n) : ls_bseq_read_frag(n_fp, fp, bases, 1, &n);
    EXPECT_EQ(n % (n_fp > 0 ? n_fp : 1), 0);
    return take(a, n);
}

std::vector<std::string> names(const std::vector<BRec> &v) {
    std::vector<std::string> out;
    for (auto &r : v) out.push_back(r.name);
    return out;
}

// A gzip member holding a then b, with a full flush between them so that b's
// compressed bytes start at *b_offset and do not depend on a.
std::string gzip_two_parts(const std::string &a, const std::string &b, size_t *b_offset) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out;
    auto run = [&](const std::string &in, int flush) {
        zs.next_in = (Bytef *)in.data();
        zs.avail_in = (uInt)in.size();
        unsigned char buf[65536];
        do {
            zs.next_out = buf;
            zs.avail_out = sizeof(buf);
            deflate(&zs, flush);
            out.append((char *)buf, sizeof(buf) - zs.avail_out);
        } while (zs.avail_out == 0);
    };
    run(a, Z_FULL_FLUSH);
    *b_offset = out.size();
    run(b, Z_FINISH);
    deflateEnd(&zs);
    return out;
}

std::string gzip_bytes(const std::string &a) {
    size_t off;
    return gzip_two_parts(a, "", &off);
}

// FASTQ records of exactly 128 bytes: "@r%05d\n", 58 bases, "\n+\n", 58
// qualities, "\n" (8 + 59 + 2 + 59).
std::string fixed_fastq(int first, int count, std::vector<Rec> *recs) {
    std::mt19937 rng(first);
    std::string out;
    for (int i = first; i < first + count; ++i) {
        char name[16];
        snprintf(name, sizeof(name), "r%05d", i);
        Rec r{name, "", "", ""};
        for (int j = 0; j < 58; ++j) r.seq += "ACGT"[rng() % 4], r.qual += (char)('!' + rng() % 40);
        out += "@" + r.name + "\n" + r.seq + "\n+\n" + r.qual + "\n";
        if (recs) recs->push_back(r);
    }
    return out;
}

class BseqIo : public ::testing::TestWithParam<bool> {
  protected:
    TempDir dir;
    bool gz() const { return GetParam(); }
    std::string put(const std::string &name, const std::string &content) {
        return ::put(dir, name, content, gz());
    }
};

INSTANTIATE_TEST_SUITE_P(PlainAndGzip, BseqIo, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "gzip" : "plain"; });

} // namespace

TEST(BseqStream, DelimiterClassesAppendAndEnd) {
    TempDir dir;
    std::string path = put(dir, "s.txt", "ab c\td,e\r\n\r\nlast", false);
    gzFile f = gzopen(path.c_str(), "r");
    ls_stream *ks = ls_stream_init(f);
    EXPECT_EQ(ks->eof_bufsize, 65536u); // 16384 << 2, end-of-file flag clear
    ls_string s = {0, 0, nullptr};
    int d = -1;
    EXPECT_EQ(ls_stream_getuntil(ks, LS_SEP_SPACE, &s, &d, 0), 2);
    EXPECT_STREQ(s.s, "ab");
    EXPECT_EQ(d, ' ');
    EXPECT_EQ(s.m, 4u); // smallest power of two above 2
    EXPECT_EQ(ls_stream_getuntil(ks, LS_SEP_TAB, &s, &d, 0), 1);
    EXPECT_EQ(d, '\t');
    EXPECT_EQ(ls_stream_getuntil(ks, ',', &s, &d, 1), 2); // appended
    EXPECT_STREQ(s.s, "cd");
    EXPECT_EQ(d, ',');
    EXPECT_EQ(ls_stream_getuntil(ks, LS_SEP_LINE, &s, &d, 0), 1); // "e\r": the CR is dropped
    EXPECT_STREQ(s.s, "e");
    EXPECT_EQ(d, '\n');
    EXPECT_EQ(ls_stream_getuntil(ks, LS_SEP_LINE, &s, &d, 0), 0); // a line of only "\r" is empty
    EXPECT_EQ(ls_stream_getc(ks), 'l');
    EXPECT_EQ(ls_stream_getuntil(ks, LS_SEP_LINE, &s, &d, 0), 3); // no final line feed
    EXPECT_STREQ(s.s, "ast");
    EXPECT_EQ(d, 0);
    EXPECT_TRUE(ls_stream_eof(ks));
    EXPECT_EQ(ks->eof_bufsize, 65537u);
    EXPECT_EQ(ls_stream_getuntil(ks, LS_SEP_LINE, &s, &d, 0), -1);
    EXPECT_EQ(ls_stream_getc(ks), -1);
    EXPECT_FALSE(ls_stream_error(ks));
    EXPECT_STREQ(ls_stream_error_text(ks), "");
    free(s.s);
    ls_stream_destroy(ks);
    gzclose(f);
}

TEST(BseqStream, RunsAcrossBuffersAndOtherClassesKeepCarriageReturn) {
    TempDir dir;
    std::string longline(40000, 'x');
    longline[20000] = 'y';
    std::string path = put(dir, "s.txt", "a\r b\r\n" + longline + "\n", true);
    gzFile f = gzopen(path.c_str(), "r");
    ls_stream *ks = ls_stream_init(f);
    ls_string s = {0, 0, nullptr};
    EXPECT_EQ(ls_stream_getuntil(ks, ' ', &s, nullptr, 0), 2);
    EXPECT_STREQ(s.s, "a\r"); // only the line class drops a carriage return
    EXPECT_EQ(ls_stream_getuntil(ks, LS_SEP_LINE, &s, nullptr, 0), 1);
    EXPECT_EQ(ls_stream_getuntil(ks, LS_SEP_LINE, &s, nullptr, 0), 40000);
    EXPECT_EQ(std::string(s.s), longline);
    EXPECT_EQ(s.m, 65536u);
    EXPECT_EQ(ls_stream_getuntil(ks, LS_SEP_LINE, &s, nullptr, 0), -1);
    free(s.s);
    ls_stream_destroy(ks);
    gzclose(f);
}

TEST_P(BseqIo, RecordLayouts) {
    // Multi-line sequence with empty lines, tab after the name, comment with
    // leading blanks, a '>' inside a line, an empty name, an empty record and
    // text before the first header of a FASTA file.
    Parsed p = parse_all(
        put("a.fa", "junk line\n\n>r1\tsome comment\nAC\n\nGTA\n\nCG\n\n>\nNN\n>r3  x y\n>r4\nA"));
    EXPECT_EQ(p.last, LS_SEQ_EOF);
    ASSERT_EQ(p.recs.size(), 4u);
    EXPECT_EQ(p.recs[0], (Rec{"r1", "some comment", "ACGTACG", ""}));
    EXPECT_EQ(p.recs[1], (Rec{"", "", "NN", ""}));
    EXPECT_EQ(p.recs[2], (Rec{"r3", " x y", "", ""}));
    EXPECT_EQ(p.recs[3], (Rec{"r4", "", "A", ""})); // no final line feed

    // FASTQ: quality over two lines (one starting with '@'), then FASTA, CRLF.
    p = parse_all(
        put("b.fq", "@q1 c1\r\nACGT\r\nAC\r\n+q1\r\nII@\r\n#!!\r\n@q2\r\nGG\r\n+\r\n@@\r\n>f\r\nTT\r\n"));
    EXPECT_EQ(p.last, LS_SEQ_EOF);
    ASSERT_EQ(p.recs.size(), 3u);
    EXPECT_EQ(p.recs[0], (Rec{"q1", "c1", "ACGTAC", "II@#!!"}));
    EXPECT_EQ(p.recs[1], (Rec{"q2", "", "GG", "@@"}));
    EXPECT_EQ(p.recs[2], (Rec{"f", "", "TT", ""}));

    // The pending header byte: kept after a FASTA record, 0 after FASTQ.
    Reader r(put("c.fa", ">a\nAC\n@b\nG\n+\nI\n>c\n"));
    EXPECT_EQ(ls_seq_reader_read(r.ks), 2);
    EXPECT_EQ(r.ks->last_char, '@');
    EXPECT_EQ(ls_seq_reader_read(r.ks), 1);
    EXPECT_EQ(r.ks->last_char, 0);
    EXPECT_EQ(ls_seq_reader_read(r.ks), 0);
    EXPECT_EQ(ls_seq_reader_read(r.ks), LS_SEQ_EOF);
    EXPECT_EQ(ls_seq_reader_read(r.ks), LS_SEQ_EOF); // stays at the end
}

TEST_P(BseqIo, MalformedFastqAndEnds) {
    struct Case {
        const char *text;
        size_t n_good;
        int last;
    } cases[] = {
        {"", 0, LS_SEQ_EOF},
        {">", 0, LS_SEQ_EOF},                                       // header byte, then nothing
        {"\n\n", 0, LS_SEQ_EOF},                                    // blank lines only
        {"no header at all\n", 0, LS_SEQ_BAD_FASTQ},                //
        {"@r", 0, LS_SEQ_BAD_FASTQ},                                // a FASTQ name at the very end
        {"@r\nACGT", 0, LS_SEQ_BAD_FASTQ},                          // ends inside the record
        {"@a\nA\n+\nI\n@r\nACGT\nIIII\n@s\nA\n+\nI\n", 1, LS_SEQ_BAD_FASTQ}, // no '+' line
        {"@a\nA\n+\nI\nr\nACGT\n+\nIIII\n", 1, LS_SEQ_BAD_FASTQ},   // no '@'
        {"x\n@a\nA\n+\nI\n", 0, LS_SEQ_BAD_FASTQ},                  // text before a FASTQ record
        {"@a\nA\n+\nI\n\n\n@b\nC\n+\nI\n\n", 2, LS_SEQ_EOF},          // blank lines between records
        {"@a\nACGTAC\n+\nIII\n@b\nA\n+\nI\n", 0, LS_SEQ_BAD_FASTQ},  // short quality + next header
        {">a\nAC1T\n", 0, LS_SEQ_BAD_BYTE},                          // a digit
        {">a\nC>G\n", 0, LS_SEQ_BAD_BYTE},                           // '>' inside a line: not a header
        {">a\nAC T\n>b\nA\n", 0, LS_SEQ_BAD_BYTE},                    // a space
        {"@a\nACGT\n+\nII I\n", 0, LS_SEQ_BAD_BYTE},                 // a space in the quality
        {">a\n>b\n>c\n", 3, LS_SEQ_EOF},                            // headers only
        {"@r\nACGT\n+\n", 0, LS_SEQ_BAD_FASTQ},                     // no quality
        {"@r\nACGT\n+", 0, LS_SEQ_BAD_FASTQ},                       // '+' line never ends
        {"@a\nA\n+\nI\n@r\nACGT\n+\nII\n", 1, LS_SEQ_BAD_FASTQ},    // shorter
        {"@r\nACGT\n+\nIIIII\n@b\nA\n+\nI\n", 0, LS_SEQ_BAD_FASTQ}, // longer
        {"@r\nACGT\n+\nII\nIII\n", 0, LS_SEQ_BAD_FASTQ},            // last line makes it longer
        {"@r\n\n+\n\n@s\nA\n+\nI", 2, LS_SEQ_EOF},                  // zero-length FASTQ record
    };
    for (const Case &c : cases) {
        Parsed p = parse_all(put("m.fq", c.text));
        EXPECT_EQ(p.recs.size(), c.n_good) << c.text;
        EXPECT_EQ(p.last, c.last) << c.text;
    }
    // Input ending exactly at a buffer boundary with a one-byte last line
    // that fills the sequence string to its capacity of 256.
    std::string text = ">a\n";
    for (int i = 0; i < 255; ++i) text += "C\n";
    text += std::string(16383 - text.size(), '\n') + "G";
    Parsed edge = parse_all(put("edge.fa", text));
    ASSERT_EQ(edge.recs.size(), 1u);
    EXPECT_EQ(edge.recs[0].seq, std::string(255, 'C') + "G");

    // Bytes a C string cannot hold, and files that are not FASTA/FASTQ.
    const std::pair<std::string, int> binary[] = {
        {std::string(">a\nAC\0T\n", 8), LS_SEQ_NOT_SEQUENCE},       // a NUL near the start: binary
        {">a\n" + std::string(20000, 'A') + std::string("C\0T\n", 4), LS_SEQ_BAD_BYTE}, // later: a bad byte
        {std::string("BAM\1\0\0\0\0", 8), LS_SEQ_NOT_SEQUENCE},
        {"CRAM\3\0", LS_SEQ_NOT_SEQUENCE},
        {"@HD\tVN:1.6\n@SQ\tSN:c\tLN:9\n", LS_SEQ_NOT_SEQUENCE},
        {std::string("LSI\2\0", 5), LS_SEQ_NOT_SEQUENCE},
    };
    for (const auto &b : binary) {
        Reader rb(put("b.bin", b.first));
        EXPECT_EQ(ls_seq_reader_read(rb.ks), b.second) << b.first.substr(0, 8);
        EXPECT_NE(rb.ks->fault[0], 0);
    }
    {
        Reader rb(put("m.fq", "@a\nA\n+\nI\n@r\nACGT\nIIII\n@s\nA\n+\nI\n"));
        ls_seq_reader_read(rb.ks);
        EXPECT_EQ(ls_seq_reader_read(rb.ks), LS_SEQ_BAD_FASTQ);
        EXPECT_STREQ(rb.ks->fault, "record 2 ('r'): no '+' line after the sequence");
    }

    // After a bad record the parser goes on from where it stopped.
    Reader r(put("n.fq", "@r\nACGT\n+\nIIIII\n@b\nA\n+\nI\n"));
    EXPECT_EQ(ls_seq_reader_read(r.ks), LS_SEQ_BAD_FASTQ);
    EXPECT_EQ(ls_seq_reader_read(r.ks), 1);
    EXPECT_EQ(r.rec(), (Rec{"b", "", "A", "I"}));
}

TEST_P(BseqIo, RewindRestartsFromTheFirstRecord) {
    std::string path = put("r.fa", ">a x\nACGT\n>b\nGG\n@c\nT\n+\nI\n");
    Reader r(path);
    EXPECT_EQ(ls_seq_reader_read(r.ks), 4);
    EXPECT_EQ(ls_seq_reader_read(r.ks), 2);
    for (int pass = 0; pass < 2; ++pass) {
        gzrewind(r.f);
        ls_seq_reader_rewind(r.ks);
        EXPECT_EQ(r.ks->last_char, 0);
        EXPECT_EQ(r.ks->f->eof_bufsize, 65536u);
        std::vector<Rec> got;
        while (ls_seq_reader_read(r.ks) >= 0) got.push_back(r.rec());
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0], (Rec{"a", "x", "ACGT", ""}));
        EXPECT_EQ(got[2], (Rec{"c", "", "T", "I"}));
    }
}

TEST_P(BseqIo, CarriageReturnLines) {
    // A blank CRLF line right after the header, in the sequence and among
    // quality lines holds no base and no quality.
    Parsed p = parse_all(put("a.fq", ">a\r\n\r\nAC\r\n\r\nGT\r\n@q\r\n\r\nAC\r\n+\r\n\r\nI\r\n\r\nI\r\n"));
    ASSERT_EQ(p.recs.size(), 2u);
    EXPECT_EQ(p.recs[0], (Rec{"a", "", "ACGT", ""}));
    EXPECT_EQ(p.recs[1], (Rec{"q", "", "AC", "II"}));
    // A stray carriage return inside a line of a line-feed file is no base.
    p = parse_all(put("b.fa", ">a\nAC\rGT\n"));
    EXPECT_EQ(p.last, LS_SEQ_BAD_BYTE);
    // Lone carriage returns as line ends (old Mac text), with empty lines.
    p = parse_all(put("c.fq", ">a desc\rAC\r\rGT\r>b\rT\r@q x\rACG\r+\rII\rI\r@r\rA\r+\r!"));
    EXPECT_EQ(p.last, LS_SEQ_EOF);
    ASSERT_EQ(p.recs.size(), 4u);
    EXPECT_EQ(p.recs[0], (Rec{"a", "desc", "ACGT", ""}));
    EXPECT_EQ(p.recs[1], (Rec{"b", "", "T", ""}));
    EXPECT_EQ(p.recs[2], (Rec{"q", "x", "ACG", "III"}));
    EXPECT_EQ(p.recs[3], (Rec{"r", "", "A", "!"}));
}

TEST(BseqGzip, DamagedStreamIsAnErrorNotAnEnd) {
    TempDir dir;
    // 600 records of 128 bytes, then an invalid block. The first four read
    // buffers (512 records) come out whole; zlib drops the output of the
    // read that meets the damage.
    std::vector<Rec> good;
    std::string a = fixed_fastq(0, 600, &good), b = fixed_fastq(600, 512, nullptr);
    size_t off;
    std::string gz = gzip_two_parts(a, b, &off);
    gz[off] = (char)0xff; // final block of the reserved type 3
    std::string path = dir.file("bad.fq.gz");
    lstest::write_file(path, gz);

    Parsed p = parse_all(path);
    EXPECT_EQ(p.last, LS_SEQ_READ_ERROR);
    ASSERT_EQ(p.recs.size(), 512u);
    for (size_t i = 0; i < p.recs.size(); ++i) ASSERT_EQ(p.recs[i], good[i]);
    {
        Reader r(path);
        while (ls_seq_reader_read(r.ks) >= 0) {}
        EXPECT_TRUE(ls_stream_error(r.ks->f));
        EXPECT_STREQ(ls_stream_error_text(r.ks->f), "invalid block type");
        EXPECT_EQ(ls_seq_reader_read(r.ks), LS_SEQ_READ_ERROR); // and it stays so
        // zlib refuses to rewind a handle after a data error: still an error.
        gzrewind(r.f);
        ls_seq_reader_rewind(r.ks);
        EXPECT_EQ(ls_seq_reader_read(r.ks), LS_SEQ_READ_ERROR);
    }

    // FASTA records of 100 bytes: the fourth buffer ends inside the sequence
    // of record 655, which must not come out cut short.
    std::string fa;
    for (int i = 0; i < 800; ++i) {
        char name[16];
        snprintf(name, sizeof(name), ">r%05d\n", i);
        fa += name + std::string(91, "ACGT"[i % 4]) + "\n";
    }
    gz = gzip_two_parts(fa, fa, &off);
    gz[off] = (char)0xff;
    std::string fa_path = dir.file("bad.fa.gz");
    lstest::write_file(fa_path, gz);
    p = parse_all(fa_path);
    EXPECT_EQ(p.last, LS_SEQ_READ_ERROR);
    ASSERT_EQ(p.recs.size(), 655u);
    EXPECT_EQ(p.recs[654].seq, std::string(91, "ACGT"[654 % 4]));

    // The batch reader returns the records before the error, says so once
    // with the file name, and flags the file.
    ls_bseq_file *fp = ls_bseq_open(path.c_str());
    ASSERT_NE(fp, nullptr);
    testing::internal::CaptureStderr();
    std::vector<BRec> v = read_batch(fp, 1LL << 40, true, false, false);
    std::vector<BRec> w = read_batch(fp, 1LL << 40, true, false, false);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(v.size(), 512u);
    EXPECT_TRUE(w.empty());
    EXPECT_EQ(err, "[ERROR] failed to read '" + path + "': invalid block type\n");
    EXPECT_TRUE(ls_bseq_error(fp));
    EXPECT_TRUE(ls_bseq_eof(fp));
    ls_bseq_close(fp);
}

TEST(BseqGzip, TruncatedAndMultiMemberFiles) {
    TempDir dir;
    std::vector<Rec> recs;
    std::string text = fixed_fastq(0, 600, &recs);
    std::string gz = gzip_bytes(text);
    // Cut in the middle, in the header, and after the magic bytes only.
    for (size_t cut : {gz.size() / 2, gz.size() - 4, (size_t)5, (size_t)2}) {
        std::string path = dir.file("cut.fq.gz");
        lstest::write_file(path, gz.substr(0, cut));
        Parsed p = parse_all(path);
        EXPECT_EQ(p.last, LS_SEQ_READ_ERROR) << cut;
        EXPECT_LT(p.recs.size(), cut == gz.size() - 4 ? 601u : 600u);
        for (size_t i = 0; i < p.recs.size(); ++i) ASSERT_EQ(p.recs[i], recs[i]);
        Reader r(path);
        while (ls_seq_reader_read(r.ks) >= 0) {}
        EXPECT_STREQ(ls_stream_error_text(r.ks->f), "unexpected end of file");
        // A truncated file can be rewound and read again up to the cut.
        gzrewind(r.f);
        ls_seq_reader_rewind(r.ks);
        EXPECT_FALSE(ls_stream_error(r.ks->f));
        size_t again = 0;
        int ret;
        while ((ret = ls_seq_reader_read(r.ks)) >= 0) ++again;
        EXPECT_EQ(again, p.recs.size());
        EXPECT_EQ(ret, LS_SEQ_READ_ERROR);
    }
    // Concatenated members read as one file.
    std::string path = dir.file("two.fq.gz");
    lstest::write_file(path, gz + gzip_bytes(">extra\nAC\n"));
    Parsed p = parse_all(path);
    EXPECT_EQ(p.last, LS_SEQ_EOF);
    ASSERT_EQ(p.recs.size(), 601u);
    EXPECT_EQ(p.recs[600], (Rec{"extra", "", "AC", ""}));
}

TEST_P(BseqIo, GarbageEmptyAndHugeInputs) {
    testing::internal::CaptureStderr(); // batch warnings on garbage
    // Random bytes, plain and biased towards the bytes the parser acts on.
    for (int seed = 0; seed < 8; ++seed) {
        std::mt19937 rng(seed);
        std::string junk(50000 + seed * 3000, 0);
        const char special[] = ">@+\n\r\t ";
        for (char &c : junk) c = seed % 2 ? (char)rng() : special[rng() % 8];
        if (seed % 2 == 0)
            for (char &c : junk)
                if (rng() % 2) c = "ACGT"[rng() % 4];
        std::string path = put("junk" + std::to_string(seed), junk);
        Parsed p = parse_all(path);
        EXPECT_LT(p.last, 0);
        ls_bseq_file *fp = ls_bseq_open(path.c_str());
        for (int i = 0; i < 100000 && !ls_bseq_eof(fp); ++i) read_batch(fp, 1000, true, true, true);
        EXPECT_TRUE(ls_bseq_eof(fp));
        ls_bseq_close(fp);
    }
    testing::internal::GetCapturedStderr();
    // An empty file.
    std::string empty = put("empty", "");
    EXPECT_EQ(parse_all(empty).last, LS_SEQ_EOF);
    ls_bseq_file *fp = ls_bseq_open(empty.c_str());
    EXPECT_TRUE(read_batch(fp, 1, false, false, false).empty());
    EXPECT_TRUE(ls_bseq_eof(fp));
    EXPECT_FALSE(ls_bseq_error(fp));
    ls_bseq_close(fp);
    // One record on a single 100 MB line.
    std::string seq(100 << 20, 'A');
    for (size_t i = 0; i < seq.size(); i += 7919) seq[i] = "CGT"[i % 3];
    std::string path = put("big.fa", ">big\n" + seq + "\n>small\nAC\n");
    {
        Reader r(path);
        ASSERT_EQ(ls_seq_reader_read(r.ks), 100 << 20);
        EXPECT_TRUE(memcmp(r.ks->seq.s, seq.data(), seq.size()) == 0);
        EXPECT_EQ(ls_seq_reader_read(r.ks), 2);
    }
    fp = ls_bseq_open(path.c_str());
    std::vector<BRec> v = read_batch(fp, 1, false, false, true); // too long for a look-ahead
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].len, 100 << 20);
    EXPECT_TRUE(v[0].seq == seq);
    ls_bseq_close(fp);
}

TEST_P(BseqIo, BatchCopiesRecords) {
    std::string path = put("a.fq", "@r1 c1\nACGUuacgu\n+\n!#%&'()*+\n>r2\nUU\n@\nA\n+\nI\n");
    ls_bseq_file *fp = ls_bseq_open(path.c_str());
    ASSERT_NE(fp, nullptr);
    // A warning: shown from verbosity 2 on, like every warning.
    const int verbosity = ls_verbosity;
    ls_verbosity = 2;
    testing::internal::CaptureStderr();
    std::vector<BRec> v = read_batch(fp, 1000, true, true, false);
    ls_verbosity = verbosity;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[WARNING] empty sequence name in the input.\n");
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].seq, "ACGTtacgt"); // U and u become T and t
    EXPECT_EQ(v[0].qual, "!#%&'()*+");
    EXPECT_EQ(v[0].comment, "c1");
    EXPECT_EQ(v[0].len, 9);
    EXPECT_EQ(v[1].seq, "TT");
    EXPECT_EQ(v[1].qual, "<null>");
    EXPECT_EQ(v[1].comment, "<null>");
    EXPECT_EQ(v[2].name, "");
    EXPECT_TRUE(read_batch(fp, 1000, true, true, false).empty());
    EXPECT_TRUE(ls_bseq_eof(fp));
    ls_bseq_close(fp);

    // Without the switches nothing but names and sequences is kept; batch
    // bases 1 give one record per call.
    fp = ls_bseq_open(path.c_str());
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(ls_bseq_eof(fp));
        int n = 0;
        ls_bseq_rec *a = ls_bseq_read(fp, 1, 1, &n);
        std::vector<BRec> one = take(a, n);
        ASSERT_EQ(one.size(), 1u);
        EXPECT_EQ(one[0].comment, "<null>");
        EXPECT_EQ(one[0].qual, i == 0 ? "!#%&'()*+" : i == 1 ? "<null>" : "I");
    }
    testing::internal::GetCapturedStderr();
    int n = -1;
    EXPECT_EQ(ls_bseq_read2(fp, 1, 1, 1, &n), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(ls_bseq_eof(fp));
    EXPECT_FALSE(ls_bseq_error(fp));
    ls_bseq_close(fp);
}

TEST_P(BseqIo, BatchParseErrors) {
    std::string path = put("a.fq", "@a\nAC\n+\nII\n@b\nACGT\n+\nIIIII\n@c\nA\n+\nI\n");
    ls_bseq_file *fp = ls_bseq_open(path.c_str());
    testing::internal::CaptureStderr();
    std::vector<BRec> v = read_batch(fp, 1000, false, false, false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ERROR] failed to read '" + path + "': record 2 ('b'): the quality has 5 characters, the sequence 4 bases\n");
    EXPECT_EQ(names(v), std::vector<std::string>{"a"});
    EXPECT_TRUE(ls_bseq_error(fp));
    v = read_batch(fp, 1000, false, false, false); // goes on after the bad record
    EXPECT_EQ(names(v), std::vector<std::string>{"c"});
    ls_bseq_close(fp);

    path = put("b.fq", "@b\nACGT\n+");
    fp = ls_bseq_open(path.c_str());
    testing::internal::CaptureStderr();
    EXPECT_TRUE(read_batch(fp, 1000, false, false, false).empty());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("'" + path + "': record 1 ('b'): the file ends inside"),
              std::string::npos);
    EXPECT_TRUE(ls_bseq_error(fp));
    ls_bseq_close(fp);
    EXPECT_EQ(ls_bseq_open(dir.file("missing.fa").c_str()), nullptr);
}

TEST_P(BseqIo, FragmentMode) {
    // The third record belongs to another fragment: it waits in the saved
    // slot and opens the next batch.
    ls_bseq_file *fp = ls_bseq_open(put("a.fa", ">x/1\nA\n>x/2\nC\n>y/1\nG\n").c_str());
    EXPECT_EQ(names(read_batch(fp, 1, false, false, true)), (std::vector<std::string>{"x/1", "x/2"}));
    EXPECT_TRUE(ls_stream_eof(fp->ks->f));
    EXPECT_FALSE(ls_bseq_eof(fp)); // the saved record still waits
    EXPECT_EQ(names(read_batch(fp, 1, false, false, true)), std::vector<std::string>{"y/1"});
    EXPECT_TRUE(ls_bseq_eof(fp));
    EXPECT_TRUE(read_batch(fp, 1, false, false, true).empty());
    ls_bseq_close(fp);

    // Name rule: a final "/digit" is ignored only in names of 3 or more
    // characters; a one-letter stem is enough.
    struct Case {
        const char *a, *b;
        bool same;
    } cases[] = {{"x/1", "x/2", true},  {"/1", "/2", false},     {"/1", "/1", true},
                 {"ab/1", "ab", true},  {"ab/1", "ab/x", false}, {"ab1", "ab2", false},
                 {"a/1", "b/1", false}, {"r/12", "r/13", false}};
    for (const Case &c : cases) {
        fp = ls_bseq_open(put("b.fa", std::string(">") + c.a + "\nA\n>" + c.b + "\nC\n").c_str());
        EXPECT_EQ(read_batch(fp, 1, false, false, true).size(), c.same ? 2u : 1u) << c.a << " " << c.b;
        ls_bseq_close(fp); // also frees a record left in the saved slot
    }

    // No look-ahead after a record of 1000000 bases or more.
    for (int len : {999999, 1000000}) {
        fp = ls_bseq_open(put("c.fa", ">p/1\n" + std::string(len, 'A') + "\n>p/2\nC\n").c_str());
        EXPECT_EQ(read_batch(fp, 1, false, false, true).size(), len < 1000000 ? 2u : 1u);
        ls_bseq_close(fp);
    }
    // The look-ahead compares with the last record, not the first.
    fp = ls_bseq_open(put("e.fa", ">a/1\nA\n>b/1\nC\n>b/2\nG\n>c/1\nT\n").c_str());
    EXPECT_EQ(names(read_batch(fp, 2, false, false, true)), (std::vector<std::string>{"a/1", "b/1", "b/2"}));
    EXPECT_EQ(names(read_batch(fp, 2, false, false, true)), std::vector<std::string>{"c/1"});
    ls_bseq_close(fp);
    // Without fragment mode the mate is not pulled in.
    fp = ls_bseq_open(put("d.fa", ">x/1\nA\n>x/2\nC\n").c_str());
    EXPECT_EQ(read_batch(fp, 1, false, false, false).size(), 1u);
    ls_bseq_close(fp);
}

TEST_P(BseqIo, LockstepFiles) {
    ls_bseq_file *fp[2] = {
        ls_bseq_open(put("1.fq", "@a/1\nAC\n+\nII\n@b/1\nA\n+\nI\n@c/1\nG\n+\nI\n").c_str()),
        ls_bseq_open(put("2.fa", ">a/2 m\nTTT\n>b/2\nG\n").c_str())};
    testing::internal::CaptureStderr();
    std::vector<BRec> v = read_frag(fp, 2, 1000, true);
    std::vector<BRec> w = read_frag(fp, 2, 1000, false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ERROR] failed to read '" + std::string(fp[1]->path) + "': it ends after 2 records, but '" +
                  fp[0]->path + "' has more\n");
    EXPECT_TRUE(ls_bseq_error(fp[1]));
    EXPECT_EQ(names(v), (std::vector<std::string>{"a/1", "a/2", "b/1", "b/2"}));
    EXPECT_EQ(v[1].comment, "m");
    EXPECT_EQ(v[0].qual, "II");
    EXPECT_TRUE(w.empty());
    for (ls_bseq_file *f : fp) ls_bseq_close(f);

    // Batches stop once the bases are reached, always a whole pass.
    fp[0] = ls_bseq_open(put("3.fa", ">a\nAC\n>b\nAC\n>c\nAC\n").c_str());
    fp[1] = ls_bseq_open(put("4.fa", ">a\nAC\n>b\nAC\n>c\nAC\n").c_str());
    EXPECT_EQ(read_frag(fp, 2, 5, false).size(), 4u);
    EXPECT_EQ(read_frag(fp, 2, 5, true).size(), 2u);
    int n = -1;
    EXPECT_EQ(ls_bseq_read_frag(0, fp, 5, 0, &n), nullptr);
    EXPECT_EQ(n, 0);
    for (ls_bseq_file *f : fp) ls_bseq_close(f);

    // A malformed record is named with its file, not taken for a shorter file.
    std::string bad = put("5.fq", "@a/2\nAC\n+\nII\n@b/2\nAC\n+\nI\n@c/2\nA\n+\nI\n");
    fp[0] = ls_bseq_open(put("6.fa", ">a/1\nAC\n>b/1\nAC\n>c/1\nA\n").c_str());
    fp[1] = ls_bseq_open(bad.c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(names(read_frag(fp, 2, 1000, false)), (std::vector<std::string>{"a/1", "a/2"}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] failed to read '" + bad +
                                                          "': record 2 ('b/2'): the quality has 1 characters, "
                                                          "the sequence 2 bases\n");
    EXPECT_FALSE(ls_bseq_error(fp[0]));
    EXPECT_TRUE(ls_bseq_error(fp[1]));
    for (ls_bseq_file *f : fp) ls_bseq_close(f);

    // Mates whose names differ (beyond a final /1 or /2) stop the reading,
    // naming both records.
    fp[0] = ls_bseq_open(put("7.fa", ">a/1\nAC\n>b/1\nAC\n").c_str());
    fp[1] = ls_bseq_open(put("8.fa", ">a/2 x\nAC\n>c/2\nAC\n").c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(names(read_frag(fp, 2, 1000, false)), (std::vector<std::string>{"a/1", "a/2"}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ERROR] failed to read '" + std::string(fp[1]->path) + "': the mates of a pair do not match: record 2 is "
              "'b/1' in '" + fp[0]->path + "' but 'c/2' here\n");
    EXPECT_TRUE(ls_bseq_error(fp[1]));
    for (ls_bseq_file *f : fp) ls_bseq_close(f);
}

TEST(BseqGzip, LockstepReadErrorIsNamedNotMiscounted) {
    TempDir dir;
    std::string gz = gzip_bytes(fixed_fastq(0, 600, nullptr));
    std::string bad = dir.file("bad.fq.gz"), good = dir.file("good.fq");
    lstest::write_file(bad, gz.substr(0, gz.size() / 2));
    lstest::write_file(good, fixed_fastq(0, 600, nullptr));
    ls_bseq_file *fp[2] = {ls_bseq_open(good.c_str()), ls_bseq_open(bad.c_str())};
    testing::internal::CaptureStderr();
    std::vector<BRec> v = read_frag(fp, 2, 1LL << 40, false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ERROR] failed to read '" + bad + "': unexpected end of file\n");
    EXPECT_GT(v.size(), 0u);
    EXPECT_FALSE(ls_bseq_error(fp[0]));
    EXPECT_TRUE(ls_bseq_error(fp[1]));
    for (ls_bseq_file *f : fp) ls_bseq_close(f);
}

namespace {
// Runs in a forked child: content arrives through a pipe on descriptor 0.
void read_stdin_child(const std::string &content, const char *path) {
    int p[2];
    if (pipe(p) != 0) _exit(2);
    if (write(p[1], content.data(), content.size()) != (ssize_t)content.size()) _exit(2);
    close(p[1]);
    if (dup2(p[0], 0) < 0) _exit(2);
    close(p[0]);
    ls_bseq_file *fp = ls_bseq_open(path);
    if (!fp || strcmp(fp->path, "-") != 0) _exit(3);
    int n = 0;
    ls_bseq_rec *a = ls_bseq_read3(fp, 1000, 1, 0, 0, &n);
    bool ok = n == 2 && strcmp(a[0].name, "s1") == 0 && strcmp(a[1].seq, "GGT") == 0 &&
              strcmp(a[1].qual, "III") == 0 && ls_bseq_eof(fp);
    ls_bseq_close(fp);
    _exit(ok ? 0 : 1);
}
} // namespace

TEST(BseqStdin, DashAndNullReadStandardInput) {
    std::string text = ">s1\nAC\n@s2\nGGU\n+\nIII\n";
    EXPECT_EXIT(read_stdin_child(text, "-"), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(read_stdin_child(gzip_bytes(text), "-"), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(read_stdin_child(text, nullptr), ::testing::ExitedWithCode(0), "");
}

// Random records written with random line widths come back unchanged, from
// the parser and from the batch reader, whatever the line ends and the
// compression.
TEST(BseqRoundTrip, RandomRecords) {
    TempDir dir;
    std::mt19937 rng(20240611);
    const char *eols[] = {"\n", "\r\n", "\r"};
    for (int fastq = 0; fastq < 2; ++fastq)
        for (int eol_i = 0; eol_i < 3; ++eol_i)
            for (int gz = 0; gz < 2; ++gz) {
                std::string eol = eols[eol_i], text;
                std::vector<Rec> recs;
                int n_rec = 1 + rng() % 60;
                for (int i = 0; i < n_rec; ++i) {
                    Rec r;
                    r.name = "r" + std::to_string(i) + (rng() % 2 ? "/1" : "");
                    if (rng() % 3 == 0)
                        for (int j = rng() % 20; j >= 0; --j) r.comment += " \tab:=X"[rng() % 7];
                    int len = rng() % 4 == 0 ? rng() % 3 : rng() % 3000;
                    for (int j = 0; j < len; ++j) r.seq += "ACGTNacgtnUu"[rng() % 12];
                    if (fastq)
                        for (int j = 0; j < len; ++j) r.qual += (char)('!' + rng() % 94);
                    text += (fastq ? "@" : ">") + r.name + (r.comment.empty() ? "" : " " + r.comment) + eol;
                    int width = rng() % 2 ? len + 1 : 1 + rng() % 100;
                    auto lines = [&](const std::string &s) {
                        if (s.empty()) text += eol;
                        for (size_t k = 0; k < s.size(); k += width) text += s.substr(k, width) + eol;
                    };
                    lines(r.seq);
                    if (fastq) {
                        text += "+" + eol;
                        lines(r.qual);
                    }
                    recs.push_back(r);
                }
                SCOPED_TRACE("fastq=" + std::to_string(fastq) + " eol=" + std::to_string(eol_i) +
                             " gz=" + std::to_string(gz));
                std::string path = put(dir, "rt", text, gz);
                Parsed p = parse_all(path);
                EXPECT_EQ(p.last, LS_SEQ_EOF);
                ASSERT_EQ(p.recs.size(), recs.size());
                for (size_t i = 0; i < recs.size(); ++i) {
                    // An empty comment is read back as such; a comment made of
                    // blanks only is kept as written.
                    ASSERT_EQ(p.recs[i], recs[i]) << i;
                }
                ls_bseq_file *fp = ls_bseq_open(path.c_str());
                std::vector<BRec> all;
                for (;;) {
                    std::vector<BRec> v = read_batch(fp, 1 + rng() % 5000, true, true, rng() % 2);
                    if (v.empty()) break;
                    all.insert(all.end(), v.begin(), v.end());
                }
                EXPECT_TRUE(ls_bseq_eof(fp));
                EXPECT_FALSE(ls_bseq_error(fp));
                ls_bseq_close(fp);
                ASSERT_EQ(all.size(), recs.size());
                for (size_t i = 0; i < recs.size(); ++i) {
                    std::string t = recs[i].seq;
                    for (char &c : t) c = c == 'U' ? 'T' : c == 'u' ? 't' : c;
                    EXPECT_EQ(all[i].name, recs[i].name);
                    EXPECT_EQ(all[i].seq, t);
                    EXPECT_EQ(all[i].len, (int)t.size());
                    EXPECT_EQ(all[i].qual, recs[i].qual.empty() ? "<null>" : recs[i].qual);
                    EXPECT_EQ(all[i].comment, recs[i].comment.empty() ? "<null>" : recs[i].comment);
                }
            }
}

// A sequence of 2^31 bases is an input error of the batch reader, which
// hands out the records before it; too slow and large for the regular suite
// (run with --gtest_also_run_disabled_tests).
TEST(BseqHuge, DISABLED_SequenceOf2Pow31BasesIsAnInputError) {
    TempDir dir;
    std::string path = dir.file("huge.fa");
    std::string cmd =
        "{ printf '>s\\nAC\\n>h\\n'; head -c 2147483648 /dev/zero | tr '\\0' 'A'; } > '" + path + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    {
        Reader r(path);
        EXPECT_EQ(ls_seq_reader_read(r.ks), 2);
        EXPECT_EQ(ls_seq_reader_read(r.ks), LS_SEQ_TOO_LONG);
        EXPECT_EQ(r.ks->seq.l, 2147483648u);
    }
    ls_bseq_file *fp = ls_bseq_open(path.c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(names(read_batch(fp, 1LL << 40, false, false, false)), std::vector<std::string>{"s"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] failed to read '" + path +
                                                          "': sequence 'h' is 2^31 bases or longer\n");
    EXPECT_TRUE(ls_bseq_error(fp));
    ls_bseq_close(fp);
}

// The public reader: every record of a file as text, a refused record named,
// and a rewind that reads the same records again; gzip reads alike.
TEST(SeqFile, PublicReaderYieldsRecordsRefusalsAndRewinds) {
    TempDir d;
    const std::string text = ">a first\nAC\nGT\n@b\nTTA\n+\nIII\n@c\nACGT\n+\nII\n";
    lstest::write_file(d.file("q.fq"), text);
    lstest::write_gzip(d.file("q.fq.gz"), text);
    for (const char *name : {"q.fq", "q.fq.gz"}) {
        SCOPED_TRACE(name);
        ls_seqfile *f = ls_seqfile_open(d.file(name).c_str());
        ASSERT_NE(f, nullptr);
        for (int pass = 0; pass < 2; ++pass) {
            std::string got;
            ls_seqfile_rec r;
            int ret;
            while ((ret = ls_seqfile_read(f, &r)) >= 0)
                got += std::string(r.name) + "|" + r.comment + "|" + r.seq + "|" + r.qual + ";";
            EXPECT_EQ(got, "a|first|ACGT|;b||TTA|III;");
            EXPECT_EQ(ret, LS_SEQ_BAD_FASTQ); // c's quality is shorter than its bases
            EXPECT_STREQ(r.name, "c");
            ASSERT_EQ(ls_seqfile_rewind(f), 0);
        }
        ls_seqfile_close(f);
    }
    errno = 0;
    EXPECT_EQ(ls_seqfile_open(d.file("missing.fq").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
}
