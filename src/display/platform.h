// The window systems beneath SDL, where the display needs more than SDL 1.2's own interface:
// - classic SDL 1.2 with no display falls back to terminal drivers that write to standard output
//   and can end the process inside SDL_Init; SDL 2 under sdl12-compat plays unseen in memory; SDL 3
//   crashes inside SDL_Init on a palette screen (sdl_start.cpp);
// - Xlib ends the process with handlers of its own on a lost connection or a protocol error, and
//   may see the connection's or the window's end only seconds late;
//   classic SDL 1.2.15 cannot map colours on 30-bit screens and drops a title's non-ASCII bytes in
//   the "C" locale; sdl12-compat keeps the icon title from X (x11.cpp);
// - SDL 2 on Wayland reports a lost compositor as the user's quit, or not at all; libwayland
//   complains while SDL looks for a compositor that is not there (wayland.cpp).
// Each call is harmless where its platform is not the one SDL took.
#pragma once

struct SDL_Surface;

constexpr const char *DISPLAY_INIT_FAILED = "Couldn't initialize SDL: %s\n";  // with SDL_GetError()

void display_x_handle_errors();         // before SDL_Init: SDL's own X handlers pass the rest on
bool display_sdl_screen_startable();    // false, with SDL's error set, where SDL_Init would crash on it
void display_sdl_starting();            // just before SDL_Init
int display_sdl_started(int result);    // just after, with SDL_Init's result: the result to act on
bool display_x_screen_drawable();       // false, with SDL's error set, when SDL would draw it black
void display_x_set_caption(const char *title, const char *icon_title);
void display_x_watch();                 // once the window is up
void display_sdl_draw_once(SDL_Surface *screen);  // then: the black window, before the player confines itself
void display_wayland_watch();           // once the window is up
// The display's end: the first watch to see it prints its line and ends the process with status
// 1; at the process's own end, none does. Safe in a signal handler.
void display_end_with(const char *line);
void display_end_silently();
void display_wayland_quiet(bool quiet);  // libwayland's messages off while SDL starts, then on again
