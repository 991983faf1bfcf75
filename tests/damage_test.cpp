// Damaged tape through the playback loop: broken frames between good ones, a file cut and grown
// back under the player, and a storm of key presses. The display and SDL_Delay are recorded
// (recording_display.cpp); events go through SDL's real queue under the dummy video driver.
#include <SDL.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "clip.h"
#include "player.h"
#include "recording_display.h"

using Bytes = std::vector<uint8_t>;

constexpr size_t DIF_BLOCK_BYTES = 80;  // a frame opens with six: header, two subcode, three video auxiliary
constexpr size_t MAX_PASSES = 5000;     // a loop that does not end fails the test instead of hanging

static std::string work_file(const char *name)
{
    return std::string(TEST_WORK_DIR) + "/damage-" + std::to_string(getpid()) + "-" + name;
}

static bool write_bytes(const std::string &path, const Bytes &bytes)
{
    FILE *out = fopen(path.c_str(), "wb");  // an existing file keeps its inode: the player sees it
    bool ok = out && fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return out && fclose(out) == 0 && ok;
}

static Bytes clip_bytes(int frames, ClipKind kind)
{
    std::string path = work_file("clip.dv");
    EXPECT_TRUE(clip_write(path.c_str(), frames, kind));
    std::ifstream in(path, std::ios::binary);
    Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    remove(path.c_str());
    return bytes;
}

static bool push(Uint8 type, SDLKey sym = SDLK_UNKNOWN)
{
    SDL_Event event = {};
    event.type = type;
    event.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : 0;
    event.key.keysym.sym = sym;
    return SDL_PushEvent(&event) == 0;  // fails while SDL's queue is full
}

static bool on_the_scale(int32_t speed)  // 0, or plus or minus a power of two up to the limit
{
    int64_t magnitude = speed < 0 ? -int64_t{speed} : speed;
    return magnitude <= SPEED_LIMIT && (magnitude & (magnitude - 1)) == 0;
}

struct Damage : ::testing::Test {
    static void SetUpTestSuite()
    {
        ASSERT_EQ(dvinit(), 0);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0);
    }
    static void TearDownTestSuite() { SDL_Quit(); }
    void SetUp() override
    {
        for (SDL_Event stale; SDL_PollEvent(&stale);) {
        }
        image = static_cast<RgbImage *>(calloc(1, sizeof(RgbImage)));
    }
    void TearDown() override
    {
        free(image);
        remove(path.c_str());
    }

    // Plays `tape` from the start; `hook` runs after every pass (numbered from 1) with the live state.
    void play(const Bytes &tape, std::function<void(size_t, const PlayerState &)> hook)
    {
        ASSERT_TRUE(write_bytes(path, tape));
        FrameFile file;
        ASSERT_TRUE(frame_file_open(path.c_str(), &file));
        state = PLAYER_START;
        recording_start([&](const std::vector<PassRecord> &done) {
            hook(done.size(), state);
            if (done.size() == MAX_PASSES)
                push(SDL_QUIT);
        });
        run_playback(&state, &file, &frame, image);
        frame_file_close(&file);
    }

    std::string path = work_file("tape.dv");
    PlayerState state = PLAYER_START;
    DvFrame frame;
    RgbImage *image = nullptr;
};

TEST_F(Damage, BrokenFramesPassAndGoodFramesAfterThemShowTheirOwnIndex)
{
    constexpr int FRAMES = 14;
    Bytes tape = clip_bytes(FRAMES, CLIP_PAL), ntsc = clip_bytes(2, CLIP_NTSC);
    ASSERT_EQ(tape.size(), size_t{FRAMES} * DV_FRAME_BYTES);
    ASSERT_GE(ntsc.size(), size_t{DV_FRAME_BYTES});
    std::mt19937 random(61834);
    auto noise = [&] { return static_cast<uint8_t>(random()); };
    auto slot = [&](int index) { return tape.begin() + index * DV_FRAME_BYTES; };
    std::generate(slot(1), slot(2), noise);                                     // noise
    std::fill(slot(3), slot(4), 0);                                             // blank tape
    std::generate_n(slot(5), DIF_BLOCK_BYTES, noise);                           // torn header block
    std::copy_n(slot(8), DV_FRAME_BYTES / 2, slot(7) + DV_FRAME_BYTES / 2);     // cut half way, then frame 8
    std::copy_n(ntsc.begin(), DV_FRAME_BYTES, slot(9));                         // an NTSC frame pasted in
    std::generate(slot(11) + 6 * DIF_BLOCK_BYTES, slot(12), noise);             // a good header over noise
    const std::set<int> damaged = {1, 3, 5, 7, 9, 11};

    play(tape, [](size_t pass, const PlayerState &) {
        if (pass == 2 * FRAMES)
            push(SDL_QUIT);
    });
    const std::vector<PassRecord> &passes = recording_passes();
    ASSERT_EQ(passes.size(), 2u * FRAMES);  // twice through, every frame presented
    for (size_t i = 0; i < passes.size(); i++) {
        int index = static_cast<int>(i % FRAMES);
        EXPECT_EQ(passes[i].index, index);
        if (!damaged.count(index)) {
            EXPECT_EQ(passes[i].picture, index) << "pass " << i + 1;
        }
    }
}

TEST_F(Damage, FileCutWhilePlayingAndGrownBackPlaysOnUntilQuit)
{
    constexpr int FRAMES = 10;
    constexpr size_t REGROWN = 24, LAST = 44;
    Bytes tape = clip_bytes(FRAMES, CLIP_PAL);
    ASSERT_EQ(tape.size(), size_t{FRAMES} * DV_FRAME_BYTES);
    play(tape, [&](size_t pass, const PlayerState &) {
        if (pass == 4) {
            ASSERT_EQ(truncate(path.c_str(), DV_FRAME_BYTES * 5 / 2), 0);  // in the middle of frame 2
        } else if (pass == 14) {
            ASSERT_EQ(truncate(path.c_str(), 0), 0);
        } else if (pass == REGROWN) {
            ASSERT_TRUE(write_bytes(path, tape));
        } else if (pass == LAST) {
            push(SDL_QUIT);
        }
    });
    const std::vector<PassRecord> &passes = recording_passes();
    ASSERT_EQ(passes.size(), LAST);  // the count stays as it was at open: the index runs on
    for (size_t i = 0; i < passes.size(); i++) {
        EXPECT_EQ(passes[i].index, static_cast<int>(i % FRAMES));
        if (i >= REGROWN) {
            EXPECT_EQ(passes[i].picture, passes[i].index) << "pass " << i + 1;
        }
    }
}

TEST_F(Damage, KeyStormKeepsSpeedOnTheScaleAndQuitStillEndsTheLoop)
{
    constexpr int FRAMES = 10;
    const SDLKey bound[] = {SDLK_F1,   SDLK_RIGHT, SDLK_LEFT,   SDLK_SPACE, SDLK_PAGEUP, SDLK_PAGEDOWN,
                            SDLK_HOME, SDLK_END,   SDLK_RETURN, SDLK_UP,    SDLK_DOWN};
    std::vector<SDLKey> keys(40, SDLK_UP);  // against the limit forward, then backward
    keys.insert(keys.end(), 70, SDLK_DOWN);
    std::mt19937 random(1995);
    while (keys.size() < 800) {
        SDLKey sym = random() % 2 ? bound[random() % std::size(bound)] : static_cast<SDLKey>(random() % SDLK_LAST);
        if (sym != SDLK_q && sym != SDLK_ESCAPE)
            keys.push_back(sym);
    }
    keys.push_back(SDLK_q);
    size_t pushed = 0, off_scale = 0;
    std::set<int32_t> speeds;
    play(clip_bytes(FRAMES, CLIP_PAL), [&](size_t, const PlayerState &now) {
        speeds.insert(now.speed);
        if (!on_the_scale(now.speed) || now.current < 0 || now.current >= FRAMES || (now.skip_decode & ~1))
            off_scale++;
        while (pushed < keys.size() && push(SDL_KEYDOWN, keys[pushed]))  // as SDL's queue has room
            pushed++;
    });
    EXPECT_EQ(off_scale, 0u);
    EXPECT_TRUE(on_the_scale(state.speed));
    EXPECT_TRUE(speeds.count(SPEED_LIMIT) && speeds.count(-SPEED_LIMIT));
    EXPECT_EQ(recording_passes().size(), keys.size());  // one pass per key, none lost, q last
    SDL_Event left;
    EXPECT_EQ(SDL_PollEvent(&left), 0);
}
