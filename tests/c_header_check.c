/* The public header must compile as plain C and its records must be usable
 * from C. */
#include "lodestar.h"

#include <stdio.h>

int main(void) {
    ls_idxopt io;
    ls_mapopt mo;
    ls128 v = {1, 2};
    if (ls_opt_preset(0, &io, &mo) != 0) return 1;
    if (io.k != 15 || io.w != 10 || mo.bw != 500) return 1;
    if (ls_opt_check(&io, &mo) != 0) return 1;
    if (v.x + v.y != 3) return 1;
    printf("c header ok\n");
    return 0;
}
