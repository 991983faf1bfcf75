// korlan FILE.dv: the entry point. Starts the decoder's process before anything else is opened,
// checks the file before anything is shown, opens the window, gives up every right it no longer
// needs (confine.cpp) and hands over to the playback loop (playback.cpp). Start reading at main().
#include <cstdio>
#include <cstdlib>

#include "display.h"
#include "frame_source.h"
#include "player.h"

// Problems with the input go to standard output and end the run.
[[noreturn]] static void fail_input(const char *format, const char *path)
{
    printf(format, path);
    exit(1);
}

// The decoded picture, allocated first and released only by the end of the process; held here
// rather than in main's frame so that it stays reachable to the very end.
static RgbImage *image;

int main(int argc, char **argv)
{
    image = frame_image_alloc();
    if (!image) {
        fprintf(stderr, "Couldn't allocate %d bytes for the picture\n", RGB_IMAGE_BYTES);
        return 1;
    }
    if (argc < 2) {
        fprintf(stderr, "usage: korlan FILE.dv\n");
        return 1;
    }
    const char *path = argv[1];
    if (!frame_decoder_start(image)) {
        perror("Couldn't start the decoder");
        return 1;
    }

    FrameFile file;
    if (!frame_file_open(path, &file))
        fail_input("%s not found\n", path);
    DvFrame frame;  // the one frame buffer of the run
    DvInfo info;
    if (file.count == 0)
        fail_input("Not a PAL format video\n", path);  // no whole frame to check
    frame_file_read(&file, 0, &frame);
    if (!frame_is_pal(&frame, &info))
        fail_input("Not a PAL format video\n", path);

    display_open(path);
    player_confine();  // before the first decode
    PlayerState state = PLAYER_START;
    run_playback(&state, &file, &frame, image);
    frame_file_close(&file);
    return 0;
}
