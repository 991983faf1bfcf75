// bare_window PATH: the least a program can do to show the player's window: SDL's video start-up,
// the same 720 × 596 window and title, and one flip. It links SDL only. The player's start-up is
// measured against it.
#include <SDL.h>

#include <cstdio>
#include <cstdlib>

#include "common.h"

int main(int argc, char **argv)
{
    if (SDL_Init(SDL_INIT_VIDEO) < 0)
        return 1;
    atexit(SDL_Quit);
    SDL_Surface *screen = SDL_SetVideoMode(WINDOW_WIDTH, WINDOW_HEIGHT, WINDOW_DEPTH, SDL_SWSURFACE);
    if (!screen)
        return 1;
    char title[500];
    snprintf(title, sizeof title, "Korlan %s", argc > 1 ? argv[1] : "");
    SDL_WM_SetCaption(title, "testwin");
    SDL_Flip(screen);
    return 0;
}
