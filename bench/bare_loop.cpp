// bare_loop CLIP PASSES decode|present: the peer that the player's loop is measured against. It is
// the least a program can do to put the same frames on screen with the same calls in the same
// order as the player, with no loop state, no event handling and none of the player's modules:
//   decode   every pass reads frame (pass mod count) with one seek and one read, decodes it with
//            dvreadblock and presents it exactly as the display does
//   present  the same without the decoding (frame 0 is decoded once, before the first pass)
#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "dvlib.h"

static SDL_Surface *open_window(const char *path)
{
    if (SDL_Init(SDL_INIT_VIDEO) < 0)
        exit(1);
    atexit(SDL_Quit);
    SDL_Surface *screen = SDL_SetVideoMode(WINDOW_WIDTH, WINDOW_HEIGHT, WINDOW_DEPTH, SDL_SWSURFACE);
    if (!screen)
        exit(1);
    char title[500];
    snprintf(title, sizeof title, "Korlan %s", path);
    SDL_WM_SetCaption(title, "testwin");
    return screen;
}

static void present(SDL_Surface *screen, RgbImage *image, int index, int count)
{
    SDL_Surface *picture = SDL_CreateRGBSurfaceFrom(image->pixels, FRAME_WIDTH, FRAME_HEIGHT, RGB_DEPTH,
                                                    RGB_ROW_BYTES, 0x0000FF, 0x00FF00, 0xFF0000, 0);
    SDL_BlitSurface(picture, nullptr, screen, nullptr);
    SDL_Rect strip = {0, FRAME_HEIGHT, FRAME_WIDTH, STRIP_HEIGHT};
    SDL_FillRect(screen, &strip, SDL_MapRGB(screen->format, 0, 0, 0));
    strip.w = static_cast<Uint16>(static_cast<double>(FRAME_WIDTH) * index / count);
    SDL_FillRect(screen, &strip, SDL_MapRGB(screen->format, STRIP_FILL.r, STRIP_FILL.g, STRIP_FILL.b));
    SDL_UpdateRect(screen, 0, 0, FRAME_WIDTH, FRAME_HEIGHT + STRIP_HEIGHT);
    SDL_FreeSurface(picture);
    SDL_Flip(screen);
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: bare_loop CLIP PASSES decode|present\n");
        return 2;
    }
    const char *path = argv[1];
    long passes = atol(argv[2]);
    const char *mode = argv[3];
    bool decode = strcmp(mode, "decode") == 0;
    RgbImage *image = static_cast<RgbImage *>(malloc(sizeof(RgbImage)));
    dvinit();
    FILE *file = fopen(path, "rb");
    if (!image || !file)
        return 1;
    setvbuf(file, nullptr, _IONBF, 0);
    fseeko(file, 0, SEEK_END);
    int count = static_cast<int>(ftello(file) / DV_FRAME_BYTES);
    static DvFrame frame;
    if (count <= 0 || fseeko(file, 0, SEEK_SET) != 0 || fread(frame.bytes, 1, DV_FRAME_BYTES, file) != DV_FRAME_BYTES)
        return 1;
    dvreadblock(frame.bytes, image->pixels, DV_OUTPUT_RGB24, DV_QUALITY_FULL);
    SDL_Surface *screen = open_window(path);

    for (long pass = 0; pass < passes; pass++) {
        int index = static_cast<int>(pass % count);
        fseeko(file, static_cast<off_t>(index) * DV_FRAME_BYTES, SEEK_SET);
        size_t got = fread(frame.bytes, 1, DV_FRAME_BYTES, file);
        (void)got;
        if (decode)
            dvreadblock(frame.bytes, image->pixels, DV_OUTPUT_RGB24, DV_QUALITY_FULL);
        present(screen, image, index, count);
    }
    fclose(file);
    return 0;
}
