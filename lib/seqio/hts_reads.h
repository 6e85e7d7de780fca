/* Reads from SAM, BAM and CRAM files, through htslib.
 *
 * A query file whose content is SAM, BAM or CRAM gives one read per primary
 * record, written into the strings of an ls_seq_reader exactly where the
 * FASTA/FASTQ parser puts a record (name, sequence, quality, comment), so
 * that the batch reader, the grouping of mates and ls_seqfile work on it
 * unchanged. The record's tags become the comment, in SAM text.
 * A reader owns its htslib handles; one thread at a time. */
#ifndef LODESTAR_HTS_READS_H
#define LODESTAR_HTS_READS_H

#include <stdint.h>

#include "lodestar.h"
#include "seqio/seq_reader.h"

typedef struct ls_hts_reads ls_hts_reads;

/* Looks at the content of the regular file path. Returns 1 with *out when it
 * is SAM, BAM or CRAM (free with ls_hts_reads_close; a header htslib cannot
 * read is reported by the first read), 0 when it is anything else or the
 * build has no htslib (the caller reads it as FASTA/FASTQ), or -1 with errno
 * when it cannot be opened. in may be null: the zeroed ls_query_input. */
int ls_hts_reads_open(const char *path, const ls_query_input *in, ls_hts_reads **out);

/* Reads the next read into ks->name, seq, qual and comment, and its record
 * number in the file into ks->n_records. Returns the sequence length, or
 * LS_SEQ_EOF, or LS_SEQ_BAD_FASTQ with the reason in ks->fault (a damaged
 * record, whose file may go on; a damaged or truncated file, after which
 * every read gives LS_SEQ_EOF). */
int ls_hts_reads_next(ls_hts_reads *h, ls_seq_reader *ks);

/* Nonzero when the reads are exhausted: the end, or a fault of the whole
 * file, was met and no read is left to give. */
int ls_hts_reads_eof(const ls_hts_reads *h);

/* Goes back to the first record by opening the file again. Returns 0 or -1. */
int ls_hts_reads_rewind(ls_hts_reads *h);

/* Hard-clipped primary records skipped so far: they hold only part of their
 * read, so mapping them would place a different read. */
int64_t ls_hts_reads_clipped(const ls_hts_reads *h);

/* Closes the file; null does nothing. */
void ls_hts_reads_close(ls_hts_reads *h);

#endif
