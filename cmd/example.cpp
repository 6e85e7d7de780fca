#include <stdio.h>

int main(int argc, char *argv[]) {
    (void)argv;
    if (argc < 3) {
        fprintf(stderr, "Usage: lodestar-lite <target.fa> <query.fa>\n");
        return 1;
    }
    return 0;
}
