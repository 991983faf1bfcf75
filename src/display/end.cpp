// The display's end while the player runs: the X server, the window or the Wayland compositor
// gone. Several watches may see it at once, in signal handlers and threads (Xlib's handlers, the X
// watch's signal, the compositor's watch and the thread on SDL's Wayland connection); the first
// says so in one line and ends the process. Start reading at display_end_with().
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform.h"

static std::atomic_flag ending = ATOMIC_FLAG_INIT;

// SIGIO is blocked first, so that a watch cannot come in between here. Safe in a signal handler.
void display_end_with(const char *line)
{
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    pthread_sigmask(SIG_BLOCK, &io, nullptr);
    if (ending.test_and_set())
        for (;;)
            pause();  // another thread is ending the process, or it ends by itself
    ssize_t ignored = write(STDERR_FILENO, line, strlen(line));
    (void)ignored;
    _exit(1);
}

void display_end_silently()
{
    ending.test_and_set();
}
