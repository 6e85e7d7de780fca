/* The public header must compile as plain C and its records must be usable
 * from C. */
#include "lodestar.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
    ls_idxopt io;
    ls_mapopt mo;
    ls128 v = {1, 2};
    if (ls_opt_preset(0, &io, &mo) != 0) return 1;
    if (io.k != 15 || io.w != 10 || mo.bw != 500) return 1;
    if (ls_opt_check(&io, &mo) != 0) return 1;
    ls_idxopt io2 = io;
    ls_mapopt mo2 = mo;
    char err[128];
    if (ls_opt_set(&io2, &mo2, "k", "17", err, sizeof(err)) != 0 || io2.k != 17) return 1;
    if (ls_opt_set(&io2, &mo2, "bandwidth", "x", err, sizeof(err)) != -1 || ls_opt_count() < 1) return 1;
    if (v.x + v.y != 3) return 1;
    ls_map_limits lim;
    mo2.mid_occ = 7;
    ls_map_limits_get(&mo2, NULL, &lim);
    ls_mapopt_resolve(&mo2, &lim, &mo2);
    if (lim.mid_occ != 7 || mo2.long_bw < mo2.bw) return 1;
    {
        const char *seqs[1] = {"ACGTACGTTTGACCAGTAGGACCATTAGGCATTACGATCGAGCTAGCTAGGATCGATTGACAGTCA"};
        ls_idx *mi = ls_idx_str(5, 11, 0, 4, 1, seqs, NULL);
        FILE *fp = tmpfile();
        int st;
        if (mi == NULL || fp == NULL || ls_idx_write_mapped(fp, mi) != 0) return 1;
        rewind(fp);
        ls_idx *back = ls_idx_load2(fp, "c", 0, &st);
        if (back == NULL || back->map == NULL || back->n_seq != 1 || st != 1) return 1;
        ls_idx_destroy(back);
        ls_idx_destroy(mi);
        fclose(fp);
    }
    ls_run *run = ls_run_init();
    if (run == NULL || ls_run_set_read_group(run, "@RG\\tID:c") != 0) return 1;
    if (strcmp(ls_run_read_group_id(run), "c") != 0) return 1;
    ls_run_destroy(run);
    ls_string str = {0, 0, NULL};
    ls_string_printf(&str, "%s:%d", "k", io.k);
    if (strcmp(str.s, "k:15") != 0) return 1;
    free(str.s);
    if (strcmp(ls_version(), LS_VERSION) != 0) return 1;
    errno = 0;
    if (ls_seqfile_open("/nonexistent/c-header-check.fa") != NULL || errno != ENOENT) return 1;
    printf("c header ok\n");
    return 0;
}
