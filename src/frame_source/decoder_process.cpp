// The decoder's process, from the player's side: every call of the decoder that reads a frame's
// bytes runs in a process of its own that holds nothing a hostile file could use
// (decoder_confine.cpp), never beside the window's connections. The player writes the frame into
// memory shared since start-up, sends a request over its channel and waits at most
// DECODER_REPLY_MS for the reply; the decoder process writes the picture straight into the
// player's RgbImage, itself shared. A decoder process that dies, hangs or answers out of turn costs
// that frame only: the spawner (decoder_spawner.cpp) kills and reaps it at once, and starts a fresh
// one for the next request. Start reading at frame_decoder_start().
#include "decoder_process.h"
#include "frame_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "map_pages.h"

static struct {
    RgbImage *image;        // shared with the decoder process; null before frame_image_alloc
    DecoderShared *shared;  // null: no decoder process, the decoder runs in this process
    int control;            // to the spawner; -1 before frame_decoder_start()
    int channel;            // to the current decoder process; -1 when there is none
    uint32_t serial;
} decoder = {nullptr, nullptr, -1, -1, 0};

// The picture memory, shared so that the decoder process writes the pictures straight into it.
// The first decode writes every byte: its pages are mapped now rather than by faults then.
RgbImage *frame_image_alloc()
{
    void *memory = mmap(nullptr, sizeof(RgbImage), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    common_map_pages_now(memory, sizeof(RgbImage));
    decoder.image = static_cast<RgbImage *>(memory);
    return decoder.image;
}

static int64_t now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Until fd is readable or DECODER_REPLY_MS have passed, whatever signals come in between.
static bool readable_in_time(int fd)
{
    int64_t end = now_ms() + DECODER_REPLY_MS;
    for (int64_t left = DECODER_REPLY_MS; left > 0; left = end - now_ms()) {
        pollfd ready = {fd, POLLIN, 0};
        int n = poll(&ready, 1, static_cast<int>(left));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
    return false;
}

static int receive_channel(int socket)
{
    char byte;
    iovec data = {&byte, 1};
    alignas(cmsghdr) char room[CMSG_SPACE(sizeof(int))];
    msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = room;
    message.msg_controllen = sizeof room;
    if (!readable_in_time(socket) || recvmsg(socket, &message, MSG_CMSG_CLOEXEC) != 1)
        return -1;
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    int fd = -1;
    if (header && header->cmsg_type == SCM_RIGHTS && header->cmsg_len == CMSG_LEN(sizeof(int)))
        memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

constexpr int CHANNEL_PENDING = -2;  // the first decoder process, started with the spawner, not yet received

bool frame_decoder_start(RgbImage *image)
{
    int pair[2];
    if (!image || image != decoder.image || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    void *shared = mmap(nullptr, sizeof(DecoderShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    decoder.shared = shared == MAP_FAILED ? nullptr : static_cast<DecoderShared *>(shared);
    pid_t pid = decoder.shared ? fork() : -1;
    if (pid == 0) {
        close(pair[0]);
        frame_spawner_run(pair[1], decoder.shared, decoder.image);
    }
    close(pair[1]);
    if (pid < 0) {
        close(pair[0]);
        decoder.shared = nullptr;
        return false;
    }
    decoder.control = pair[0];
    decoder.channel = CHANNEL_PENDING;
    return true;
}

// An order to the spawner, and its answer: the new decoder process's channel for a start.
static int order_spawner(SpawnerOrder order)
{
    char byte = order;
    if (send(decoder.control, &byte, 1, MSG_NOSIGNAL) != 1)
        return -1;
    return receive_channel(decoder.control);
}

// Whether the decoder process answered the request in time and in turn. One that died, hung or
// answered out of turn is stopped at once, and the next request has a fresh one started: at most
// one start per request, so a decoder that dies on every frame costs one start per frame.
static bool ask(DecoderOp op)
{
    if (decoder.channel == CHANNEL_PENDING)
        decoder.channel = receive_channel(decoder.control);
    else if (decoder.channel < 0)
        decoder.channel = order_spawner(SPAWNER_START);
    if (decoder.channel < 0)
        return false;
    DecoderRequest request = {++decoder.serial, op}, reply = {};
    bool answered = send(decoder.channel, &request, sizeof request, MSG_NOSIGNAL) == sizeof request &&
                    readable_in_time(decoder.channel) &&
                    recv(decoder.channel, &reply, sizeof reply, MSG_DONTWAIT) == sizeof reply &&
                    reply.serial == request.serial;
    if (!answered) {
        close(decoder.channel);
        decoder.channel = order_spawner(SPAWNER_STOP);  // -1: answered with no channel
    }
    return answered;
}

int frame_decoder_status(const DvFrame *frame, DvInfo *info)
{
    if (!decoder.shared)
        return dvstatus(frame->bytes, info);
    memcpy(&decoder.shared->frame, frame, sizeof *frame);
    if (!ask(DECODER_STATUS)) {
        *info = DvInfo{};
        return -1;
    }
    *info = decoder.shared->info;
    return decoder.shared->result;
}

int frame_decoder_read(const DvFrame *frame, RgbImage *image)
{
    if (!decoder.shared)
        return dvreadblock(frame->bytes, image->pixels, DV_OUTPUT_RGB24, DV_QUALITY_FULL);
    memcpy(&decoder.shared->frame, frame, sizeof *frame);
    if (!ask(DECODER_READ))
        return -1;
    if (decoder.shared->result == 0 && image != decoder.image)
        memcpy(image, decoder.image, sizeof *image);
    return decoder.shared->result;
}
