// SDL 2's Wayland driver under sdl12-compat, when the compositor goes away: it reaches SDL 2 as a
// quit request, the same as the user's, or on SDL 2.26 with libdecor not at all: SDL_PollEvent then
// spins on the dead connection and never returns. Start reading at display_wayland_watch().
#include <SDL.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstring>

#include "platform.h"

static const char COMPOSITOR_LOST[] = "Lost the connection to the Wayland compositor\n";

static void compositor_lost(int)
{
    ssize_t ignored = write(STDERR_FILENO, COMPOSITOR_LOST, sizeof COMPOSITOR_LOST - 1);
    (void)ignored;
    _exit(1);
}

static bool compositor_answers()
{
    wl_display *probe = wl_display_connect(nullptr);  // the compositor SDL took, as libwayland finds it
    bool answers = probe && wl_display_roundtrip(probe) >= 0;
    if (probe)
        wl_display_disconnect(probe);
    return answers;
}

static int pass_users_quit(const SDL_Event *event)
{
    if (event->type == SDL_QUIT && !compositor_answers())
        compositor_lost(0);
    return 1;
}

// The display keeps a connection of its own to the compositor, on which nothing is ever asked: it
// turns readable only when the compositor closes it, and raises SIGIO then. A quit request goes on
// to the player only while the compositor still answers.
void display_wayland_watch()
{
    char driver[32] = "";
    if (!SDL_VideoDriverName(driver, sizeof driver) || strcmp(driver, "wayland") != 0)
        return;
    wl_display *watch = wl_display_connect(nullptr);
    if (!watch)
        return;
    int fd = fcntl(wl_display_get_fd(watch), F_DUPFD_CLOEXEC, 0);  // open to the end of the process
    wl_display_disconnect(watch);
    struct sigaction lost = {};
    lost.sa_handler = compositor_lost;
    sigaction(SIGIO, &lost, nullptr);
    fcntl(fd, F_SETOWN, getpid());
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_ASYNC);
    SDL_SetEventFilter(pass_users_quit);
}
