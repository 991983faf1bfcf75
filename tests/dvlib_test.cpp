// The DV decoder: every frame decodes to its own picture, byte for byte what the ffmpeg command line
// makes of it; a frame or an output it refuses leaves the image alone and spoils nothing after it.
#include "dvlib.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "clip.h"
#include "common.h"

namespace {

constexpr uint8_t UNTOUCHED = 0xA5;  // the image's fill before a decode that may be refused

// Scratch files are named after the running test: ctest may run the tests side by side.
std::string work_path(const char *name)
{
    return std::string(TEST_WORK_DIR) + "/dvlib_" + testing::UnitTest::GetInstance()->current_test_info()->name() +
           "_" + name;
}

std::vector<uint8_t> read_and_remove(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    unlink(path.c_str());
    return bytes;
}

std::vector<uint8_t> clip_bytes(int frames, ClipKind kind)
{
    std::string path = work_path("clip.dv");
    return clip_write(path.c_str(), frames, kind) ? read_and_remove(path) : std::vector<uint8_t>();
}

class Dvlib : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(dvinit(), 0); }
    int decode(const uint8_t *frame) { return dvreadblock(frame, image.data(), DV_OUTPUT_RGB24, DV_QUALITY_FULL); }
    bool untouched() const { return std::count(image.begin(), image.end(), UNTOUCHED) == RGB_IMAGE_BYTES; }
    std::vector<uint8_t> image = std::vector<uint8_t>(RGB_IMAGE_BYTES, UNTOUCHED);
};

}  // namespace

TEST_F(Dvlib, MatchesTheFfmpegCommandLineByteForByte)
{
    std::string dv = work_path("testsrc2.dv"), rgb = work_path("testsrc2.rgb");
    std::string make = FFMPEG " -v error -y -f lavfi -i testsrc2=size=720x576:rate=25 -t 0.4 -target pal-dv -an "
                       "-f dv '" + dv + "'";
    std::string convert = FFMPEG " -v error -y -i '" + dv + "' -pix_fmt rgb24 -f rawvideo '" + rgb + "'";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;
    ASSERT_EQ(std::system(convert.c_str()), 0) << convert;
    std::vector<uint8_t> frames = read_and_remove(dv), expected = read_and_remove(rgb);
    size_t count = frames.size() / DV_FRAME_BYTES;
    ASSERT_EQ(count, 10u);
    ASSERT_EQ(expected.size(), count * RGB_IMAGE_BYTES);
    for (size_t i = 0; i < count; i++) {
        ASSERT_EQ(decode(&frames[i * DV_FRAME_BYTES]), 0) << "frame " << i;
        EXPECT_EQ(memcmp(image.data(), &expected[i * RGB_IMAGE_BYTES], RGB_IMAGE_BYTES), 0) << "frame " << i;
    }
}

TEST_F(Dvlib, RefusedFramesLeaveTheImageAndSpoilNothingAfter)
{
    std::vector<uint8_t> pal = clip_bytes(2, CLIP_PAL), ntsc = clip_bytes(2, CLIP_NTSC);
    ASSERT_EQ(pal.size(), 2u * DV_FRAME_BYTES);
    ASSERT_GE(ntsc.size(), static_cast<size_t>(DV_FRAME_BYTES));
    const uint8_t *clean = &pal[DV_FRAME_BYTES];  // frame 1
    ASSERT_EQ(decode(clean), 0);
    ASSERT_EQ(clip_read_rgb(image.data(), FRAME_WIDTH), 1);
    const std::vector<uint8_t> reference = image;

    std::mt19937 random(61834);
    auto noise = [&] { return static_cast<uint8_t>(random()); };
    std::vector<uint8_t> garbage(DV_FRAME_BYTES), zeros(DV_FRAME_BYTES, 0);
    std::vector<uint8_t> torn(pal.begin(), pal.begin() + DV_FRAME_BYTES), halved = torn;
    std::generate(garbage.begin(), garbage.end(), noise);
    std::generate_n(torn.begin(), 6 * 80, noise);  // six DIF blocks: header, subcode, video auxiliary
    std::fill(halved.begin() + DV_FRAME_BYTES / 2, halved.end(), 0);
    struct {
        const char *name;
        const uint8_t *frame;
        bool must_refuse;
    } damaged[] = {{"random bytes", garbage.data(), false}, {"zeros", zeros.data(), true},
                   {"torn header", torn.data(), false},     {"second half zero", halved.data(), false},
                   {"NTSC", ntsc.data(), true}};
    testing::internal::CaptureStderr();  // damage is common on tape: the console stays quiet
    for (const auto &d : damaged) {
        std::fill(image.begin(), image.end(), UNTOUCHED);
        int status = decode(d.frame);
        EXPECT_TRUE(status != 0 || !d.must_refuse) << d.name;
        EXPECT_TRUE(status == 0 || untouched()) << d.name;
        EXPECT_EQ(decode(clean), 0) << "after " << d.name;
        EXPECT_TRUE(image == reference) << "after " << d.name;
    }
    std::string complaints = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(complaints.empty()) << complaints.substr(0, complaints.find('\n'));
}

TEST_F(Dvlib, DecodesEachFrameToItsIndexButOnlyAsFullQualityRgb)
{
    constexpr int FRAMES = 4;
    std::vector<uint8_t> clip = clip_bytes(FRAMES, CLIP_PAL);
    ASSERT_EQ(clip.size(), static_cast<size_t>(FRAMES) * DV_FRAME_BYTES);
    const int wrong[][2] = {{0, DV_QUALITY_FULL}, {1, DV_QUALITY_FULL}, {3, DV_QUALITY_FULL},
                            {-1, DV_QUALITY_FULL}, {DV_OUTPUT_RGB24, 1}, {DV_OUTPUT_RGB24, -1}};
    for (int i = 0; i < FRAMES; i++) {
        const uint8_t *frame = &clip[i * DV_FRAME_BYTES];
        std::fill(image.begin(), image.end(), UNTOUCHED);
        for (const auto &args : wrong)
            EXPECT_NE(dvreadblock(frame, image.data(), args[0], args[1]), 0) << args[0] << ", " << args[1];
        EXPECT_TRUE(untouched());
        ASSERT_EQ(decode(frame), 0) << "frame " << i;
        EXPECT_EQ(clip_read_rgb(image.data(), FRAME_WIDTH), i);
    }
}
