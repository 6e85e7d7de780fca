/* Split-index temporary files: when the targets are indexed in several parts,
 * each part's mapping run writes every query's regions, raw, to a temporary
 * file "<prefix>.<part, 4 digits>.tmp"; a merge pass reads all of them in
 * lockstep, joins each query's regions across parts and ranks them again.
 * This module owns the file format; the merge run itself is a pass of the
 * file pipeline (pipeline/map_file.cpp, ls_split_merge).
 *
 * A temporary file holds, little-endian: the part's k (int32) and target
 * count (uint32); per target its name length (int32), name bytes and length
 * (uint32); then per query, in input order, n_reg, repeat_len and
 * fragment_gap (int32 each) followed by n_reg 80-byte ls_reg records and,
 * with LS_F_BASE_ALIGN, each region's ls_extra as a uint32 word count and
 * that many words (the record's first word repeats the count). Faults are
 * returned to the caller; readers report them once, naming the file.
 *
 * The names are predictable, so a file is only ever created, exclusively,
 * and only the files the run created are removed: the run lists them (with
 * their identity, so a file put in place of one is not removed either).
 * Every call takes the run whose files and messages these are; null is the
 * default run. */
#ifndef LODESTAR_PIPELINE_SPLIT_FILES_H
#define LODESTAR_PIPELINE_SPLIT_FILES_H

#include <stdint.h>
#include <stdio.h>

#include "base/arena.h"
#include "lodestar.h"


/* Creates the temporary file of index part mi->part_index (mode 0600; never
 * through a symbolic link, never over an existing file) and writes its
 * header (k and target table). Returns the open file, which the caller
 * closes, or null after one message when the file exists already (left by an
 * earlier run, say), cannot be created, or its header cannot be written (the
 * file is removed then). */
FILE *ls_split_open_out(const char *prefix, const ls_idx *mi, ls_run *run = nullptr);

/* Opens the n_parts temporary files of prefix for reading into files[] and
 * reads their headers. Returns the merged target table (k, n_seq and the
 * targets of all parts in part order; no buckets, no bases; free it with
 * ls_idx_destroy), and n_seq_of_part[j] (may be null) the targets of part j.
 * Null when n_parts <= 0 (*err, if not null, is LS_MAP_ERR_OPEN then), or
 * after one message when a file cannot be opened (LS_MAP_ERR_OPEN) or its
 * header is cut short or corrupt (LS_MAP_ERR_INPUT); every file opened here
 * is closed again. */
ls_idx *ls_split_read_headers(const char *prefix, int n_parts, FILE **files, uint32_t *n_seq_of_part, int *err,
                              ls_run *run = nullptr);

/* Deletes those of the n_parts temporary files of prefix that the run
 * created; any other file of that name stays. */
void ls_split_remove(const char *prefix, int n_parts, ls_run *run = nullptr);
/* Deletes every temporary file the run created and still lists. */
void ls_split_discard_all(ls_run *run);

/* Appends one query's regions to a temporary file. Returns 0, or -1 when a
 * write failed (errno tells why; no message). */
int ls_split_write_query(FILE *fp, int64_t flag, int n_reg, const ls_reg *regs, int32_t repeat_len,
                         int32_t fragment_gap);

/* Reads the next query's regions from all n_parts files (named after
 * opt->split_prefix), shifts their target ids into the merged table mi
 * (rid_shift[j]: targets before part j) and ranks the joined set again:
 * primaries, kept secondaries, SAM-primary and mapping quality. Returns 0
 * with the region array in *regs (system allocator; the caller frees each p
 * and the array), its count in *n_reg, the largest repeat length in
 * *repeat_len and part 0's fragment gap in *fragment_gap. Returns -1 after
 * one message naming the file when a file is cut short, unreadable or
 * inconsistent; *regs is then null and *n_reg 0, and the files' positions
 * are undefined. */
int ls_split_merge_query(int n_parts, FILE **files, const int32_t *rid_shift, const ls_idx *mi,
                         const ls_mapopt *opt, int qlen, km_arena *km, ls_reg **regs, int *n_reg,
                         int *repeat_len, int *fragment_gap, ls_run *run = nullptr);

/* After a merge that read every query: 0 when no part file holds more, else
 * LS_MAP_ERR_INPUT after one message naming the first file with data left
 * (the files came from other query files). */
int ls_split_check_end(int n_parts, FILE **files, const char *prefix, ls_run *run = nullptr);


#endif
