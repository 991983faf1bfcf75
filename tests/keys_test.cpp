// The key bindings as a pure function of state, key and frame count.
#include <SDL.h>
#include <gtest/gtest.h>

#include <vector>

#include "player.h"

constexpr int32_t COUNT = 10;

static PlayerState at(int32_t current, int32_t speed)
{
    return {current, current, speed, 0};
}

// The speeds that pressing `key` repeatedly runs through from `speed`.
static std::vector<int32_t> presses(int32_t speed, SDLKey key, int times)
{
    PlayerState state = at(0, speed);
    std::vector<int32_t> seen;
    for (int i = 0; i < times; i++) {
        EXPECT_FALSE(apply_key(&state, key, COUNT));
        seen.push_back(state.speed);
    }
    return seen;
}

TEST(Keys, UpAndDownRunOneScaleThroughZero)
{
    EXPECT_EQ(presses(4, SDLK_DOWN, 7), (std::vector<int32_t>{2, 1, 0, -1, -2, -4, -8}));
    EXPECT_EQ(presses(-8, SDLK_UP, 8), (std::vector<int32_t>{-4, -2, -1, 0, 1, 2, 4, 8}));
}

TEST(Keys, DoublingStopsAtTheLimit)
{
    EXPECT_EQ(presses(SPEED_LIMIT / 2, SDLK_UP, 2), (std::vector<int32_t>{SPEED_LIMIT, SPEED_LIMIT}));
    EXPECT_EQ(presses(-SPEED_LIMIT / 2, SDLK_DOWN, 2), (std::vector<int32_t>{-SPEED_LIMIT, -SPEED_LIMIT}));
    EXPECT_EQ(presses(SPEED_LIMIT, SDLK_DOWN, 1), (std::vector<int32_t>{SPEED_LIMIT / 2}));
}

TEST(Keys, DirectionKeysKeepTheMagnitude)
{
    struct Case {
        int32_t from;
        SDLKey key;
        int32_t to;
    } cases[] = {
        {4, SDLK_LEFT, -4}, {-4, SDLK_RIGHT, 4}, {-4, SDLK_LEFT, -4}, {4, SDLK_RIGHT, 4},
        {0, SDLK_RIGHT, 1}, {0, SDLK_LEFT, -1},  {-8, SDLK_RETURN, 1}, {0, SDLK_RETURN, 1},
        {16, SDLK_SPACE, 0},
    };
    for (const Case &c : cases) {
        PlayerState state = at(5, c.from);
        EXPECT_FALSE(apply_key(&state, c.key, COUNT));
        EXPECT_EQ(state.speed, c.to) << "from " << c.from << " key " << c.key;
        EXPECT_EQ(state.current, 5);
    }
}

TEST(Keys, UpThriceThenLeftThenDown)
{
    PlayerState state = PLAYER_START;
    for (SDLKey key : {SDLK_UP, SDLK_UP, SDLK_UP})
        apply_key(&state, key, COUNT);
    EXPECT_EQ(state.speed, 8);
    apply_key(&state, SDLK_LEFT, COUNT);
    EXPECT_EQ(state.speed, -8);
    apply_key(&state, SDLK_DOWN, COUNT);
    EXPECT_EQ(state.speed, -16);
}

TEST(Keys, JumpsAndStepsPause)
{
    struct Case {
        int32_t from;
        SDLKey key;
        int32_t to;
    } cases[] = {
        {5, SDLK_HOME, 0}, {5, SDLK_END, COUNT - 1}, {5, SDLK_PAGEUP, 6}, {5, SDLK_PAGEDOWN, 4},
        {COUNT - 1, SDLK_PAGEUP, COUNT}, {0, SDLK_PAGEDOWN, -1},  // past either end: the loop wraps it
    };
    for (const Case &c : cases) {
        PlayerState state = at(c.from, -4);
        EXPECT_FALSE(apply_key(&state, c.key, COUNT));
        EXPECT_EQ(state.current, c.to) << "from " << c.from << " key " << c.key;
        EXPECT_EQ(state.speed, 0);
        EXPECT_EQ(state.shown, c.from);  // the loop alone moves shown
    }
}

TEST(Keys, QuitKeysAndUnboundKeys)
{
    PlayerState state = at(3, 2);
    EXPECT_TRUE(apply_key(&state, SDLK_ESCAPE, COUNT));
    EXPECT_TRUE(apply_key(&state, SDLK_q, COUNT));
    for (int sym : {int{SDLK_a}, int{SDLK_w}, int{SDLK_LSHIFT}, int{SDLK_F2}, 0, -1, 100000}) {
        PlayerState before = state;
        EXPECT_FALSE(apply_key(&state, sym, COUNT));
        EXPECT_EQ(memcmp(&before, &state, sizeof state), 0) << "key " << sym;
    }
}

TEST(Keys, F1TogglesDecoding)
{
    PlayerState state = at(3, 2);
    apply_key(&state, SDLK_F1, COUNT);
    EXPECT_EQ(state.skip_decode, 1);
    apply_key(&state, SDLK_F1, COUNT);
    EXPECT_EQ(state.skip_decode, 0);
    EXPECT_EQ(state.speed, 2);
}

TEST(Keys, ClampWrapsWithoutCarryingTheOvershoot)
{
    EXPECT_EQ(clamp_index(COUNT, COUNT), 0);
    EXPECT_EQ(clamp_index(COUNT + 2, COUNT), 0);
    EXPECT_EQ(clamp_index(-1, COUNT), COUNT - 1);
    EXPECT_EQ(clamp_index(-SPEED_LIMIT, COUNT), COUNT - 1);
    EXPECT_EQ(clamp_index(int64_t{INT32_MAX} + SPEED_LIMIT, INT32_MAX), 0);
    EXPECT_EQ(clamp_index(7, COUNT), 7);
}
