/* A program of the library's users: maps a piece of a generated target and
 * prints where it landed. Built against an installed copy of the library. */
#include <lodestar.h>
#include <stdio.h>
#include <stdlib.h>

int main(void) {
    static char target[20001];
    uint32_t x = 11;
    for (int i = 0; i < 20000; ++i) x = x * 1103515245u + 12345u, target[i] = "ACGT"[x >> 16 & 3];
    const char *seqs[1] = {target}, *names[1] = {"chr1"};
    ls_idx *mi = ls_idx_str(10, 15, 0, 14, 1, seqs, names);
    ls_idxopt io;
    ls_mapopt mo;
    if (!mi || ls_opt_preset(NULL, &io, &mo) != 0) return 1; /* the defaults */
    mo.flag |= LS_F_BASE_ALIGN;
    ls_mapopt_update(&mo, mi);
    ls_tbuf *b = ls_tbuf_init();
    int n = 0;
    ls_reg *r = ls_map(mi, 2000, target + 5000, &n, b, &mo, "read1");
    if (n > 0) printf("%s %s %d %d %d\n", ls_version(), mi->seq[r[0].target_id].name, r[0].rs, r[0].re, r[0].mapq);
    for (int i = 0; i < n; ++i) free(r[i].p);
    free(r);
    ls_tbuf_destroy(b);
    ls_idx_destroy(mi);
    return n > 0 ? 0 : 1;
}
