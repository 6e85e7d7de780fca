/* The strict line checks that the fuzz targets apply to every output line:
 * hand-checked good and bad lines, one fault per bad line. */
#include <gtest/gtest.h>

#include <string>

#include "sam_check.h"

namespace {

enum Kind { kSam, kHeader, kPaf };

struct Row {
    Kind kind;
    const char *line; // "|" stands for a tab, to keep the table readable
    bool ok;
};

const Row kRows[] = {
    // SAM records.
    {kSam, "r1|0|chr1|100|60|2S5M1I2M|*|0|0|ACGTACGTAC|IIIIIIIIII|NM:i:1|tp:A:P|de:f:0.0123", true},
    {kSam, "r1|16|chr1|1|0|3M2D3H|=|5|-12|ACG|*|cs:Z::3-ac|cg:B:I,16,33", true},
    {kSam, "r1|4|*|0|0|*|*|0|0|*|*", true},
    {kSam, "r1|4|*|0|0|*|*|0|0|acgu|!!!!|rl:i:0|XH:H:1AFF", true},
    {kSam, "r1|0|chr1|100|60|*|*|0|0|ACGT|III", false},                // QUAL one short
    {kSam, "r1|0|chr1|100|60|3M|*|0|0|ACGT|IIII", false},              // CIGAR covers 3 of 4 bases
    {kSam, "r1|0|chr1|100|60|3M1H|*|0|0|ACGT|IIII", false},            // hard clip consumes no SEQ
    {kSam, "@r1|0|chr1|100|60|*|*|0|0|ACGT|IIII", false},              // QNAME starting with '@'
    {kSam, "r1|65536|chr1|100|60|*|*|0|0|ACGT|IIII", false},           // FLAG out of range
    {kSam, "r1|0|*chr|100|60|*|*|0|0|ACGT|IIII", false},               // RNAME starting with '*'
    {kSam, "r1|0|chr1|2147483648|60|*|*|0|0|ACGT|IIII", false},        // POS beyond 2^31-1
    {kSam, "r1|0|chr1|100|256|*|*|0|0|ACGT|IIII", false},              // MAPQ out of range
    {kSam, "r1|0|chr1|100|60|4Q|*|0|0|ACGT|IIII", false},              // unknown CIGAR operation
    {kSam, "r1|0|chr1|100|60|*|*|0|-2147483648|ACGT|IIII", false},     // TLEN below -2^31+1
    {kSam, "r1|0|chr1|100|60|*|*|0|0|AC1T|IIII", false},               // digit in SEQ
    {kSam, "r1|0|chr1|100|60|*|*|0|0|ACGT|II I", false},               // space in QUAL
    {kSam, "r1|0|chr1|100|60|*|*|0|0|ACGT|IIII|NM:i:1|NM:i:2", false}, // tag twice
    {kSam, "r1|0|chr1|100|60|*|*|0|0|ACGT|IIII|NM:i:1.5", false},      // float as i
    {kSam, "r1|0|chr1|100|60|*|*|0|0|ACGT|IIII|XB:B:c,128", false},    // c element out of range
    {kSam, "r1|0|chr1|100|60|*|*|0|0|ACGT", false},                    // ten columns
    // Header lines.
    {kHeader, "@SQ|SN:chr1|LN:1000", true},
    {kHeader, "@CO|free text: with | tabs", true},
    {kHeader, "@SQ|SN:chr1|SN:chr2", false}, // tag twice
    {kHeader, "@S1|SN:chr1", false},         // record type not two letters
    {kHeader, "@PG|ID:x|CL:a\rb", false},    // control byte
    // PAF lines.
    {kPaf, "q1|100|5|95|+|chr1|1000|200|290|85|90|60|tp:A:P|cg:Z:90M|de:f:0.01", true},
    {kPaf, "q1|100|0|0|*|*|0|0|0|0|0|0|rl:i:0", true},
    {kPaf, "|100|5|95|+|chr1|1000|200|290|85|90|60", false},        // empty query name
    {kPaf, "q1|100|95|5|+|chr1|1000|200|290|85|90|60", false},      // start after end
    {kPaf, "q1|100|5|95|+|chr1|280|200|290|85|90|60", false},       // target end beyond length
    {kPaf, "q1|100|0|0|*|chr1|0|0|0|0|0|0", false},                 // unmapped with a target
    {kPaf, "q1|100|5|95|.|chr1|1000|200|290|85|90|60", false},      // strand
    {kPaf, "q1|100|5|95|+|chr1|1000|200|290|85|90|60|tp:P", false}, // tag without type
};

TEST(SamCheck, TableOfLines) {
    for (const Row &row : kRows) {
        std::string line = row.line;
        for (char &c : line)
            if (c == '|') c = '\t';
        std::string why;
        const bool ok = row.kind == kSam      ? ls_test_sam_line_ok(line, &why)
                        : row.kind == kHeader ? ls_test_sam_header_line_ok(line, &why)
                                              : ls_test_paf_line_ok(line, &why);
        EXPECT_EQ(ok, row.ok) << row.line << (ok ? "" : " -- " + why);
        EXPECT_EQ(why.empty(), ok) << row.line;
    }
}

// A NUL byte cannot be written in the table's C strings.
TEST(SamCheck, NulBytes) {
    const char sam[] = "r1\t4\t*\t0\t0\t*\t*\t0\t0\tA\0G\t*";
    const char paf[] = "q\0\t1\t0\t0\t*\t*\t0\t0\t0\t0\t0\t0";
    std::string why;
    EXPECT_TRUE(ls_test_sam_line_ok(std::string(sam) + "G\t*", &why)) << why;
    EXPECT_FALSE(ls_test_sam_line_ok(std::string(sam, sizeof(sam) - 1), &why));
    EXPECT_FALSE(ls_test_paf_line_ok(std::string(paf, sizeof(paf) - 1), &why));
}

} // namespace
