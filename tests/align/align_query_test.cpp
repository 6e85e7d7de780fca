// Spliced mapping end to end: transcripts made of planted exons map back
// with their introns as N operations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lodestar.h"
#include "sim.h"
#include "testutil.h"

namespace {

using lstest::Gene;
using lstest::introns_of;
using lstest::plant_introns;
using lstest::transcript;

TEST(Splice, TranscriptsMapWithTheirIntronsOnBothStrands) {
    lssim::GenomeParams gp;
    gp.total_len = 200000;
    lssim::Genome genome;
    std::string err;
    ASSERT_TRUE(lssim::make_genome(gp, 31, genome, &err)) << err;
    std::string &g = genome.contigs[0].seq;
    const std::vector<Gene> genes = {
        {{{10000, 10400}, {12000, 12350}, {15000, 15500}}},
        {{{50000, 50600}, {50900, 51300}}},
        {{{90000, 90300}, {95000, 95450}, {96000, 96300}, {99000, 99600}}},
    };
    for (const auto &gene : genes) plant_introns(g, gene);

    ls_idxopt io;
    ls_mapopt mo;
    ASSERT_EQ(ls_opt_preset(nullptr, &io, &mo), 0);
    ASSERT_EQ(ls_opt_preset("splice", &io, &mo), 0);
    mo.flag |= LS_F_BASE_ALIGN;
    const char *seqs[] = {g.c_str()};
    const char *names[] = {"chr"};
    ls_idx *mi = ls_idx_str(io.w, io.k, 0, io.bucket_bits, 1, seqs, names);
    ASSERT_NE(mi, nullptr);
    ls_mapopt_update(&mo, mi);
    ASSERT_EQ(ls_opt_check(&io, &mo), 0);
    ls_tbuf *b = ls_tbuf_init();

    for (size_t gi = 0; gi < genes.size(); ++gi) {
        const Gene &gene = genes[gi];
        std::vector<int> want;
        for (size_t i = 0; i + 1 < gene.exons.size(); ++i)
            want.push_back(gene.exons[i + 1].first - gene.exons[i].second);
        const std::string fwd = transcript(g, gene);
        for (int strand = 0; strand < 2; ++strand) {
            SCOPED_TRACE("gene " + std::to_string(gi) + (strand ? " reverse" : " forward"));
            const std::string q = strand ? lssim::revcomp(fwd) : fwd;
            int n = 0;
            ls_reg *r = ls_map(mi, (int)q.size(), q.c_str(), &n, b, &mo, nullptr);
            ASSERT_GE(n, 1);
            EXPECT_EQ(r[0].reverse, strand);
            EXPECT_TRUE(r[0].spliced);
            EXPECT_EQ(r[0].rs, gene.exons.front().first);
            EXPECT_EQ(r[0].re, gene.exons.back().second);
            EXPECT_EQ(r[0].qs, 0);
            EXPECT_EQ(r[0].qe, (int)q.size());
            EXPECT_EQ(introns_of(r[0]), want);
            // Canonical sites on the transcript's strand set the strand mark.
            EXPECT_EQ(r[0].p->transcript_strand, strand ? 2u : 1u);
            lstest::free_regions(n, r);
        }
    }
    ls_tbuf_destroy(b);
    ls_idx_destroy(mi);
}

} // namespace
