// The frame source: one raw DV file opened read-only, its whole-frame count, and one seek and one
// read per frame straight into the caller's DvFrame. The frames are opaque here; only the decoder
// (dvlib, in a process of its own: decoder_process.cpp) looks inside them. Start reading at
// frame_file_open().
#include "frame_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "decoder_process.h"

static_assert(sizeof(off_t) == 8, "files of hours of tape need 64-bit offsets");

int32_t frame_count_for_size(int64_t bytes)
{
    if (bytes <= 0)
        return 0;
    int64_t frames = bytes / DV_FRAME_BYTES;  // a partial last frame is never read
    return frames > INT32_MAX ? INT32_MAX : static_cast<int32_t>(frames);
}

int64_t frame_offset(int32_t index)
{
    return static_cast<int64_t>(index) * DV_FRAME_BYTES;
}

// Only something that holds bytes at fixed offsets can be played: directories, pipes and sockets
// cannot, and opening a pipe for reading would wait for a writer.
static bool can_hold_frames(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode);
}

bool frame_file_open(const char *path, FrameFile *file)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (!can_hold_frames(fd) || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        return false;
    }
    FILE *stream = fdopen(fd, "rb");
    if (!stream) {
        close(fd);
        return false;
    }
    setvbuf(stream, nullptr, _IONBF, 0);  // a frame is one read() straight into the caller's buffer
    fseeko(stream, 0, SEEK_END);
    int64_t size = ftello(stream);
    fseeko(stream, 0, SEEK_SET);
    file->stream = stream;
    file->count = frame_count_for_size(size);
    return true;
}

void frame_file_read(const FrameFile *file, int32_t index, DvFrame *frame)
{
    // A short or failed read (a file cut while it plays) leaves the rest of the frame as it was.
    fseeko(file->stream, frame_offset(index), SEEK_SET);
    size_t got = fread(frame->bytes, 1, DV_FRAME_BYTES, file->stream);
    (void)got;
    clearerr(file->stream);  // the file may grow back
}

void frame_file_close(FrameFile *file)
{
    fclose(file->stream);
    file->stream = nullptr;
}

bool frame_is_pal(const DvFrame *frame, DvInfo *info)
{
    frame_decoder_status(frame, info);
    return info->word[1] == FRAME_WIDTH && info->word[2] == FRAME_HEIGHT;
}

void frame_decode(const DvFrame *frame, RgbImage *image)
{
    frame_decoder_read(frame, image);
}
