// dvclip OUT.dv FRAMES [pal|ntsc|dv50 [FIRST]]: writes a raw DV test clip whose frames carry their
// index, counted from FIRST (0 by default; the cells hold it modulo 65536).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clip.h"

int main(int argc, char **argv)
{
    if (argc < 3 || atoi(argv[2]) < 0) {
        fprintf(stderr, "usage: dvclip OUT.dv FRAMES [pal|ntsc|dv50 [FIRST]]\n");
        return 2;
    }
    ClipKind kind = CLIP_PAL;
    if (argc > 3 && strcmp(argv[3], "ntsc") == 0)
        kind = CLIP_NTSC;
    else if (argc > 3 && strcmp(argv[3], "dv50") == 0)
        kind = CLIP_DV50;
    else if (argc > 3 && strcmp(argv[3], "pal") != 0) {
        fprintf(stderr, "dvclip: unknown kind %s\n", argv[3]);
        return 2;
    }
    int first = argc > 4 ? atoi(argv[4]) : 0;
    if (!clip_write(argv[1], atoi(argv[2]), kind, first)) {
        fprintf(stderr, "dvclip: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
