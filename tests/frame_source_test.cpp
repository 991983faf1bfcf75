// The frame source on real files: whole-frame counts, frame i read from byte i × DV_FRAME_BYTES
// (also far beyond 4 GiB), opening only what can hold frames, and the PAL check on first frames.
#include "frame_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "clip.h"

namespace {

std::string work_path(const char *name) { return std::string(TEST_WORK_DIR) + "/frame_source_" + name; }

std::vector<uint8_t> read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The first frame of a fresh two-frame clip, read as the player reads it.
bool read_first_frame(ClipKind kind, DvFrame *frame)
{
    std::string path = work_path("first_frame.dv");
    FrameFile file;
    bool ok = clip_write(path.c_str(), 2, kind) && frame_file_open(path.c_str(), &file);
    if (ok) {
        frame_file_read(&file, 0, frame);
        frame_file_close(&file);
    }
    unlink(path.c_str());
    return ok;
}

}  // namespace

TEST(FrameSource, CountsWholeFramesAndOffsetsIn64Bits)
{
    constexpr int64_t GIB = int64_t{1} << 30;
    EXPECT_EQ(frame_count_for_size(-1), 0);  // what a failed size query gives
    EXPECT_EQ(frame_count_for_size(0), 0);
    EXPECT_EQ(frame_count_for_size(DV_FRAME_BYTES - 1), 0);
    EXPECT_EQ(frame_count_for_size(DV_FRAME_BYTES), 1);
    EXPECT_EQ(frame_count_for_size(2 * DV_FRAME_BYTES - 1), 1);
    EXPECT_EQ(frame_count_for_size(2 * DV_FRAME_BYTES), 2);
    EXPECT_EQ(frame_count_for_size(2 * GIB), 14913);
    EXPECT_EQ(frame_count_for_size(4 * GIB + DV_FRAME_BYTES), 29827);
    EXPECT_EQ(frame_count_for_size(int64_t{INT32_MAX} * DV_FRAME_BYTES), INT32_MAX);
    EXPECT_EQ(frame_count_for_size(INT64_MAX), INT32_MAX);
    EXPECT_EQ(frame_offset(3), 432000);
    EXPECT_EQ(frame_offset(20000), 2880000000LL);  // past 2 GiB
    EXPECT_EQ(frame_offset(INT32_MAX), 309237645168000LL);
}

TEST(FrameSource, ReadsFrameIFromItsOwnOffsetAndNeverTheTail)
{
    constexpr int FRAMES = 5;
    auto marker = [](int index) { return static_cast<uint8_t>(0x40 + index); };
    std::vector<uint8_t> bytes((FRAMES + 1) * DV_FRAME_BYTES - 1, 0xEE);  // a sixth frame but for one byte
    for (int i = 0; i < FRAMES; i++)
        std::fill_n(bytes.begin() + i * DV_FRAME_BYTES, DV_FRAME_BYTES, marker(i));
    std::string path = work_path("marked.dv");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());

    FrameFile file;
    ASSERT_TRUE(frame_file_open(path.c_str(), &file));
    unlink(path.c_str());  // the open stream keeps the file until it is closed
    EXPECT_EQ(file.count, FRAMES);
    auto frame = std::make_unique<DvFrame>();
    for (int index : {3, 0, FRAMES - 1, 1, 3, 2}) {
        frame_file_read(&file, index, frame.get());
        EXPECT_EQ(std::count(frame->bytes, frame->bytes + DV_FRAME_BYTES, marker(index)), DV_FRAME_BYTES)
            << "frame " << index;
    }
    frame_file_close(&file);
}

TEST(FrameSource, ReadsTheLastFrameOfASparseFileBeyond4GiB)
{
    constexpr int64_t SIZE = int64_t{5} << 30;  // 37282 whole frames and part of another
    constexpr int32_t LAST = 37281;
    std::string path = work_path("sparse.dv");
    ASSERT_TRUE(clip_write(path.c_str(), 1, CLIP_PAL, LAST));  // the frame carries the index it lands at
    std::vector<uint8_t> encoded = read_all(path);
    ASSERT_EQ(encoded.size(), static_cast<size_t>(DV_FRAME_BYTES));

    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    bool written = ftruncate(fd, SIZE) == 0 &&
                   pwrite(fd, encoded.data(), DV_FRAME_BYTES, int64_t{LAST} * DV_FRAME_BYTES) == DV_FRAME_BYTES;
    close(fd);
    FrameFile file;
    bool opened = written && frame_file_open(path.c_str(), &file);
    unlink(path.c_str());
    ASSERT_TRUE(opened);
    EXPECT_EQ(file.count, LAST + 1);

    auto frame = std::make_unique<DvFrame>();
    auto image = std::make_unique<RgbImage>();
    frame_file_read(&file, LAST, frame.get());
    frame_file_close(&file);
    EXPECT_EQ(memcmp(frame->bytes, encoded.data(), DV_FRAME_BYTES), 0);
    ASSERT_EQ(dvinit(), 0);
    frame_decode(frame.get(), image.get());
    EXPECT_EQ(clip_read_rgb(image->pixels, FRAME_WIDTH), LAST);
}

TEST(FrameSource, RefusesWhatCannotHoldFrames)
{
    FrameFile file;
    EXPECT_FALSE(frame_file_open(work_path("missing.dv").c_str(), &file));
    EXPECT_FALSE(frame_file_open(TEST_WORK_DIR, &file));

    std::string path = work_path("fifo.dv");
    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    alarm(10);  // an open that waits for a writer ends the test here instead of hanging it
    EXPECT_FALSE(frame_file_open(path.c_str(), &file));
    alarm(0);
    unlink(path.c_str());
}

TEST(FrameSource, PalCheckAcceptsOnlyA720By576FirstFrame)
{
    ASSERT_EQ(dvinit(), 0);
    auto frame = std::make_unique<DvFrame>();
    auto check = [&](const char *what, bool pal, int32_t width, int32_t height) {
        DvInfo info;
        memset(&info, 0x55, sizeof info);  // stale words must not survive
        EXPECT_EQ(frame_is_pal(frame.get(), &info), pal) << what;
        EXPECT_EQ(info.word[1], width) << what;
        EXPECT_EQ(info.word[2], height) << what;
    };
    ASSERT_TRUE(read_first_frame(CLIP_PAL, frame.get()));
    check("PAL", true, FRAME_WIDTH, FRAME_HEIGHT);
    ASSERT_TRUE(read_first_frame(CLIP_NTSC, frame.get()));
    check("NTSC", false, FRAME_WIDTH, 480);
    ASSERT_TRUE(read_first_frame(CLIP_DV50, frame.get()));
    check("DV50", false, 0, 0);
    memset(frame->bytes, 0, DV_FRAME_BYTES);
    check("zeros", false, 0, 0);
    std::mt19937 random(2024);
    std::generate_n(frame->bytes, DV_FRAME_BYTES, [&] { return static_cast<uint8_t>(random()); });
    check("random bytes", false, 0, 0);
    // A DV frame opens with blocks of eight section types in turn (header, subcode, video
    // auxiliary, audio, video): any one of them of another type, and the frame is not DV.
    for (int block = 0; block < 8; block++) {
        ASSERT_TRUE(read_first_frame(CLIP_PAL, frame.get()));
        frame->bytes[block * 80] ^= 0x80;  // the top bit of the three that give the type
        check(("PAL, block " + std::to_string(block) + " of another type").c_str(), false, 0, 0);
    }
}
