// The spawner and the decoder processes it starts. The spawner is forked at decoder start-up,
// before the player opens its file or starts SDL, so it holds none of the player's descriptors and
// has one thread; it starts each decoder process, hands the player its channel, and kills and
// reaps one on the player's word. A decoder process answers requests until its channel closes.
// Start reading at frame_spawner_run().
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "decoder_process.h"

static struct {
    DecoderShared *shared;  // the frame to decode and the answer's details
    RgbImage *image;        // the player's picture
} spawner;

// One byte, with the descriptor unless it is -1.
static bool send_channel(int socket, int fd)
{
    char byte = 0;
    iovec data = {&byte, 1};
    alignas(cmsghdr) char room[CMSG_SPACE(sizeof(int))] = {};
    msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (fd >= 0) {
        message.msg_control = room;
        message.msg_controllen = sizeof room;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    return sendmsg(socket, &message, MSG_NOSIGNAL) == 1;
}

// The decoder process: answers until the player's end of the channel closes.
[[noreturn]] static void serve(int channel)
{
    channel = frame_decoder_confine(channel);
    DecoderShared *shared = spawner.shared;
    for (DecoderRequest request; recv(channel, &request, sizeof request, 0) == sizeof request;) {
        shared->result = request.op == DECODER_STATUS
                             ? dvstatus(shared->frame.bytes, &shared->info)
                             : dvreadblock(shared->frame.bytes, spawner.image->pixels, DV_OUTPUT_RGB24, DV_QUALITY_FULL);
        if (send(channel, &request, sizeof request, MSG_NOSIGNAL) != sizeof request)
            break;
    }
    _exit(0);
}

// A fresh decoder process, its channel handed to the player (or nothing, when none can be had).
static pid_t start_decoder(int control)
{
    int pair[2] = {-1, -1};
    pid_t pid = -1;
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == 0) {
        pid = fork();
        if (pid == 0)
            serve(pair[1]);
        close(pair[1]);
    }
    send_channel(control, pid > 0 ? pair[0] : -1);
    close(pair[0]);  // -1 is harmless
    return pid;
}

static void stop_decoder(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);  // a hung one too: it must be gone before another writes the picture
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void frame_spawner_run(int control, DecoderShared *shared, RgbImage *image)
{
    control = frame_spawner_confine(control);
    spawner.shared = shared;
    spawner.image = image;
    pid_t current = start_decoder(control);
    for (char order;;) {
        ssize_t got = recv(control, &order, 1, 0);
        if (got < 0 && errno == EINTR)
            continue;
        stop_decoder(current);
        current = -1;
        if (got != 1)
            _exit(0);  // the player has ended
        if (order == SPAWNER_START)
            current = start_decoder(control);
        else
            send_channel(control, -1);
    }
}

