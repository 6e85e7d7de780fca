/* The genome the map_fuzz target maps against, shared with the program that
 * writes that target's seeds (whose reads are copied from it): two contigs,
 * 40 kb in all, with an exact and a diverged repeat family (secondary and
 * supplementary alignments), a tandem repeat, low-complexity runs and a run
 * of N. Small, so that one input maps in milliseconds; fixed seed, so that
 * the seeds keep matching it. */
#ifndef LODESTAR_TESTS_FUZZ_MAP_GENOME_H
#define LODESTAR_TESTS_FUZZ_MAP_GENOME_H

#include "sim.h"

static inline bool ls_fuzz_map_genome(lssim::Genome *g) {
    lssim::GenomeParams p;
    p.total_len = 40000;
    p.n_contigs = 2;
    p.repeats = 1, p.repeat_copies = 3, p.repeat_len = 700;
    p.diverged = 1, p.diverged_copies = 2, p.diverged_len = 900;
    p.tandems = 1, p.tandem_copies = 15, p.tandem_unit = 23;
    p.homopolymers = 1, p.dinucleotides = 1, p.lowcomp_len = 60;
    p.nruns = 1, p.nrun_len = 150;
    return lssim::make_genome(p, 20240611, *g, nullptr);
}

#endif
