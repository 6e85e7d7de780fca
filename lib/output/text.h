/* Output writers never print: they build text in an ls_string (growable,
 * realloc'ed to powers of two, freed with free by its owner) and the caller
 * writes it out. Scratch comes from the arena passed in (null: the system
 * allocator). Nothing here keeps state, so threads may format at once, each
 * into its own string with its own arena. The writers themselves (PAF, SAM,
 * difference strings, junction lines) are public: see lodestar.h. */
#ifndef LODESTAR_OUTPUT_TEXT_H
#define LODESTAR_OUTPUT_TEXT_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "base/diagnostics.h"
#include "lodestar.h"

/* Appends n bytes of s (then a terminating zero, not counted in l). */
void ls_str_append(ls_string *str, const char *s, size_t n);
void ls_str_putc(ls_string *str, char c);

/* A target's name; a part built without names has none, and its decimal id
 * stands in for it so that the column never becomes empty. */
void ls_append_target_name(ls_string *str, const ls_idx *mi, int32_t rid);

/* Room for a read-group ID and its terminating zero (as ls_rg_id). */
#define LS_RG_ID_SIZE 256

/* What a SAM record takes from its run: the read-group ID (empty: none), the
 * flag that keeps the warning about comments to one per run, and where that
 * warning goes. */
struct ls_sam_ctx {
    const char *rg_id;
    std::atomic<bool> *comment_warned;
    const ls_logger *log;
};

extern "C" {

/* Checks and unescapes a read-group line (see ls_run_set_read_group). Returns
 * 0 with the line in *line_out and its ID in id_out (LS_RG_ID_SIZE bytes), or
 * -1 after one message through lg, with both empty. */
int ls_sam_parse_rg(const char *rg, const ls_logger *lg, ls_string *line_out, char *id_out);
/* The SAM header's text into str (replacing its content, no final newline):
 * @HD, the @SQ lines of mi (may be null), rg_line when not null or empty,
 * and @PG with version and the command line. */
void ls_sam_header_text(ls_string *str, const ls_idx *mi, const char *rg_line, const char *version, int argc,
                        char *const *argv);
/* ls_sam_format with what the record takes from its run; mate (null: none)
 * is the other record of a pair, whose primary the MC and MQ tags describe. */
void ls_sam_format_ctx(const ls_sam_ctx *ctx, ls_string *str, const ls_idx *mi, const ls_bseq_rec *t,
                       const ls_bseq_rec *mate, int seg_idx,
                       int reg_idx, int n_seg, const int *n_regss, const ls_reg *const *regss, struct km_arena *km,
                       int64_t flag, int rep_len);
}

#endif
