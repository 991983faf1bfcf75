// SDL 2's Wayland driver under sdl12-compat, when the compositor goes away: it reaches SDL 2 as a
// quit request, the same as the user's, or on Debian 12's SDL 2.26 with libdecor not at all:
// SDL_PollEvent then spins on the dead connection and never returns (libdecor's dispatch, when
// events were queued before the connection broke). SDL 2 does the same with its own connection
// broken while the compositor stays (a client that the compositor dropped). And libwayland's
// messages while SDL looks for a compositor that is not there. Start reading at
// display_wayland_watch().
#include <SDL.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display.h"
#include "platform.h"

static const char COMPOSITOR_LOST[] = "Lost the connection to the Wayland compositor\n";

static int sdl_connection = -1;  // SDL's own connection to the compositor, once the window is up

static void compositor_lost(int)
{
    display_end_with(COMPOSITOR_LOST);
}

static void end_watch()  // registered after SDL's shutdown, so run before it closes SDL's connection
{
    signal(SIGIO, SIG_IGN);
    display_end_silently();
}

// SDL's connection ending while the compositor stays, where SDL spins in libdecor's dispatch and
// never hands the loop the quit request. Asks for no input: only the end wakes it.
static void *watch_sdl_connection(void *)
{
    pollfd end = {sdl_connection, POLLRDHUP, 0};
    while (poll(&end, 1, -1) < 0) {
    }
    compositor_lost(0);
    return nullptr;
}

static bool same_peer(int fd, const sockaddr_un &peer)
{
    sockaddr_un other = {};
    socklen_t size = sizeof other;
    return getpeername(fd, reinterpret_cast<sockaddr *>(&other), &size) == 0 && other.sun_family == AF_UNIX &&
           strcmp(other.sun_path, peer.sun_path) == 0;
}

// SDL's connection is the one other than the watch's `watch` to the same compositor's socket.
static void find_sdl_connection(int watch)
{
    sockaddr_un compositor = {};
    socklen_t size = sizeof compositor;
    DIR *fds = opendir("/proc/self/fd");
    if (!fds || getpeername(watch, reinterpret_cast<sockaddr *>(&compositor), &size) != 0) {
        if (fds)
            closedir(fds);
        return;
    }
    for (dirent *entry; (entry = readdir(fds)) && sdl_connection < 0;) {
        int fd = atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != watch && fd != dirfd(fds) && same_peer(fd, compositor))
            sdl_connection = fd;
    }
    closedir(fds);
}

void display_quit_requested()
{
    pollfd broken = {sdl_connection, POLLRDHUP, 0};
    if (sdl_connection >= 0 && poll(&broken, 1, 0) > 0 && broken.revents & (POLLRDHUP | POLLHUP | POLLERR))
        compositor_lost(0);
}

// The display keeps a connection of its own to the compositor, on which nothing is ever asked: it
// turns readable only when the compositor closes it, and raises SIGIO then: within the
// compositor's own exit, long before a player that SDL 2 told to quit has ended. That covers both
// ends above, on every SDL 2. SDL's own connection, dropped alone, is watched by a thread and at
// each quit request.
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
    find_sdl_connection(fd);
    pthread_t thread;
    if (sdl_connection >= 0 && pthread_create(&thread, nullptr, watch_sdl_connection, nullptr) == 0)
        pthread_detach(thread);
    atexit(end_watch);
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
