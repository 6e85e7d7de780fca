/* The file-level mapping pipeline: reads batches of queries, maps their
 * fragments on worker threads and writes the results in input order (PAF,
 * SAM, junction lines, or a part's temporary file); the same loop carries
 * the merge pass of split-index runs. Its entry points are public
 * (ls_map_file_frag, ls_map_file, ls_split_merge in lodestar.h). */
#ifndef LODESTAR_PIPELINE_MAP_FILE_H
#define LODESTAR_PIPELINE_MAP_FILE_H

#include <stdint.h>
#include <stdio.h>

#include "lodestar.h"
#include "seqio/seq_reader.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens each path with ls_bseq_open_query as the run says
 * (ls_run_set_query_input), the readers' messages going to the run's log
 * (null: the default run). Returns the array of n readers (free
 * with free after closing each), or null after one message naming the file
 * that failed (the others are closed again). */
ls_bseq_file **ls_open_query_files(int n, const char **paths, ls_run *run);

/* The pipeline of run (null: the default run) over already opened query
 * readers (the merge run passes its merged table, n_parts > 0, the part
 * files and the shifts; a normal run passes 0 and nulls). Returns 0 or an LS_MAP_ERR_* result, each fault
 * reported once. */
int ls_map_file_run(ls_run *run, const ls_idx *mi, int n_files, ls_bseq_file **fps, const ls_mapopt *opt,
                    int n_threads, int n_parts, FILE **part_files, const int32_t *rid_shift);

#ifdef __cplusplus
}
#endif

#endif
