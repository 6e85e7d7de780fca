/* The run context: what one mapping run owns (see ls_run in lodestar.h).
 * The pipeline, the split files and the SAM writer reach the run's output,
 * read group, totals, messages and temporary files through this record; the
 * calls without a run use the default one, whose read group is ls_rg_id and
 * whose messages follow ls_verbosity and ls_start_time. */
#ifndef LODESTAR_PIPELINE_RUN_H
#define LODESTAR_PIPELINE_RUN_H

#include <stdio.h>
#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "base/diagnostics.h"
#include "lodestar.h"
#include "output/text.h"

/* A split-index temporary file the run created and has not removed, with its
 * identity: clean-up removes a file only when the name still leads to that
 * same file, so a file left by an earlier run, made by someone else or put in
 * place of ours is never deleted. */
struct ls_split_created {
    std::string prefix;
    int part;
    std::string path;
    dev_t dev;
    ino_t ino;
};

struct ls_run {
    FILE *out = nullptr; /* null: standard output, looked up when written */
    ls_write_fn writer = nullptr;
    void *writer_data = nullptr;
    ls_logger log = {nullptr, nullptr, -1, -1.0};
    std::string rg_line;                 /* unescaped @RG line; empty: none */
    std::string query_reference;         /* FASTA of CRAM queries; empty: htslib's search */
    std::string keep_tags;               /* tags SAM, BAM and CRAM queries carry; empty: all */
    char own_rg_id[LS_RG_ID_SIZE] = {0}; /* the ID of a run of its own */
    char *rg_id = own_rg_id;             /* ls_rg_id for the default run */
    std::atomic<uint64_t> n_queries{0}, n_bases{0}, n_mapped{0};
    std::atomic<bool> comment_warned{false};
    std::mutex split_mutex; /* guards split_files: parts may run on threads of their own */
    std::vector<ls_split_created> split_files;
};

/* The run, or the default run for null. */
inline ls_run *ls_run_or_default(ls_run *run) { return run != nullptr ? run : ls_run_default(); }

/* What the run's SAM records take from it. */
inline ls_sam_ctx ls_run_sam_ctx(ls_run *run) { return ls_sam_ctx{run->rg_id, &run->comment_warned, &run->log}; }

#endif
