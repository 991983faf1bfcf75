// SDL 2's Wayland driver under sdl12-compat, when the compositor goes away: it reaches SDL 2 as a
// quit request, the same as the user's, or on Debian 12's SDL 2.26 with libdecor not at all:
// SDL_PollEvent then spins on the dead connection and never returns (libdecor's dispatch, when
// events were queued before the connection broke). And libwayland's messages while SDL looks for a
// compositor that is not there. Start reading at display_wayland_watch().
#include <SDL.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform.h"

static const char COMPOSITOR_LOST[] = "Lost the connection to the Wayland compositor\n";

static void compositor_lost(int)
{
    ssize_t ignored = write(STDERR_FILENO, COMPOSITOR_LOST, sizeof COMPOSITOR_LOST - 1);
    (void)ignored;
    _exit(1);
}

// The display keeps a connection of its own to the compositor, on which nothing is ever asked: it
// turns readable only when the compositor closes it, and raises SIGIO then: within the
// compositor's own exit, long before a player that SDL 2 told to quit has ended. That covers both
// ends above, on every SDL 2; no filter on SDL 2's quit requests is needed.
void display_wayland_watch()
{
    char driver[32] = "";
    if (!SDL_VideoDriverName(driver, sizeof driver) || strcmp(driver, "wayland") != 0)
        return;
    wl_display *watch = wl_display_connect(nullptr);  // the compositor SDL took, as libwayland finds it
    if (!watch)
        return;
    int fd = fcntl(wl_display_get_fd(watch), F_DUPFD_CLOEXEC, 0);  // open to the end of the process
    wl_display_disconnect(watch);
    struct sigaction lost = {};
    lost.sa_handler = compositor_lost;
    sigaction(SIGIO, &lost, nullptr);
    fcntl(fd, F_SETOWN, getpid());
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_ASYNC);
}

// SDL 2 and SDL 3 try Wayland as they start, SDL 3 first of all: with XDG_RUNTIME_DIR unset (cron,
// su, env -i) libwayland says so on standard error, though SDL then goes on to X11 or fails with a
// line of its own. SDL loads the same libwayland-client as the player, so its messages come here;
// after the start-up they are libwayland's own again, on standard error as it writes them.
static void say_nothing(const char *, va_list) {}
static void say_on_stderr(const char *format, va_list args) { vfprintf(stderr, format, args); }

void display_wayland_quiet(bool quiet)
{
    wl_log_set_handler_client(quiet ? say_nothing : say_on_stderr);
}
