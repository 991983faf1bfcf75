// The display under SDL's dummy video driver: a real in-memory window surface, read back pixel
// by pixel after each presentation.
#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "display.h"

constexpr const char *PATH = "/tape/a %n%s b.dv";  // printf directives must stay literal

static uint32_t pixel_at(int x, int y)
{
    SDL_Surface *surface = SDL_GetVideoSurface();
    const uint8_t *row = static_cast<const uint8_t *>(surface->pixels) + y * surface->pitch;
    return reinterpret_cast<const uint32_t *>(row)[x];
}

// Green pixels at the start of the strip's middle row, and checks that the rest of it is black.
static int green_width()
{
    const int y = FRAME_HEIGHT + STRIP_HEIGHT / 2;
    const uint32_t green = display_map_rgb(STRIP_FILL.r, STRIP_FILL.g, STRIP_FILL.b);
    const uint32_t black = display_map_rgb(0, 0, 0);
    int x = 0;
    while (x < WINDOW_WIDTH && pixel_at(x, y) == green)
        x++;
    for (int rest = x; rest < WINDOW_WIDTH; rest++)
        if (pixel_at(rest, y) != black)
            return -1;
    for (int row = FRAME_HEIGHT; row < WINDOW_HEIGHT; row++)  // every row of the strip alike
        if (pixel_at(0, row) != pixel_at(0, y) || pixel_at(WINDOW_WIDTH - 1, row) != black)
            return -2;
    return x;
}

struct Display : ::testing::Test {
    static void SetUpTestSuite()
    {
        display_open(PATH);
        image = static_cast<RgbImage *>(malloc(sizeof(RgbImage)));
        for (int i = 0; i < RGB_IMAGE_BYTES; i += RGB_BYTES_PER_PIXEL) {  // orange, left to right
            image->pixels[i] = 250;
            image->pixels[i + 1] = 120;
            image->pixels[i + 2] = 10;
        }
    }
    static RgbImage *image;
};
RgbImage *Display::image;

TEST_F(Display, WindowSizeDepthAndTitles)
{
    SDL_Surface *screen = SDL_GetVideoSurface();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(screen->w, WINDOW_WIDTH);
    EXPECT_EQ(screen->h, WINDOW_HEIGHT);
    EXPECT_EQ(screen->format->BitsPerPixel, WINDOW_DEPTH);
    char *title = nullptr, *icon = nullptr;
    SDL_WM_GetCaption(&title, &icon);
    EXPECT_STREQ(title, "Korlan /tape/a %n%s b.dv");
    EXPECT_STREQ(icon, "testwin");
}

TEST_F(Display, PictureIsDrawnWithItsColoursInOrder)
{
    display_present(image, 0, 100);
    EXPECT_EQ(pixel_at(0, 0), display_map_rgb(250, 120, 10));
    EXPECT_EQ(pixel_at(FRAME_WIDTH - 1, FRAME_HEIGHT - 1), display_map_rgb(250, 120, 10));
}

TEST_F(Display, StripGrowsAndShrinksWithTheIndex)
{
    struct Case {
        int32_t index, count;
        int width;
    } cases[] = {{0, 100, 0}, {50, 100, 360}, {10, 100, 72}, {24, 25, 691}, {0, 1, 0}, {99, 100, 712}};
    for (const Case &c : cases) {
        display_present(image, c.index, c.count);
        EXPECT_EQ(green_width(), c.width) << c.index << " of " << c.count;
    }
}

TEST(StripWidth, IsProportionalAndNeverFull)
{
    EXPECT_EQ(display_strip_width(FRAME_WIDTH, 0, 10), 0);
    EXPECT_EQ(display_strip_width(FRAME_WIDTH, 9, 10), 648);
    EXPECT_EQ(display_strip_width(FRAME_WIDTH, 1, 3), 240);
    EXPECT_EQ(display_strip_width(FRAME_WIDTH, 89999, 90000), 719);  // an hour of tape
    EXPECT_EQ(display_strip_width(FRAME_WIDTH, INT32_MAX - 1, INT32_MAX), 719);
    EXPECT_EQ(display_strip_width(FRAME_WIDTH, 0, 0), 0);
}

TEST(Title, IsCutToTheBufferWithoutSplittingACharacter)
{
    constexpr size_t MOST = DISPLAY_TITLE_BYTES - 1;  // bytes of title before the terminator
    const std::string prefix = "Korlan ";
    char title[DISPLAY_TITLE_BYTES];
    std::string path(600, 'x');
    display_format_title(title, sizeof title, path.c_str());
    EXPECT_EQ(std::string(title), prefix + path.substr(0, MOST - prefix.size()));

    // Every position of a 2-, 3- and 4-byte character at the cut: as many whole characters as fit.
    for (std::string character : {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x8e\xac"}) {
        for (size_t lead = 0; lead < character.size(); lead++) {
            std::string accented(lead, 'a');
            while (accented.size() < 600)
                accented += character;
            display_format_title(title, sizeof title, accented.c_str());
            size_t whole = (MOST - prefix.size() - lead) / character.size();
            EXPECT_EQ(std::string(title), prefix + accented.substr(0, lead + whole * character.size()))
                << character.size() << "-byte characters after " << lead << " bytes";
        }
        // A title of exactly the most bytes that fit keeps its last character.
        std::string exact(MOST - prefix.size() - character.size(), 'a');
        exact += character;
        display_format_title(title, sizeof title, exact.c_str());
        EXPECT_EQ(std::string(title), prefix + exact);
        // One byte more, as many as the buffer holds: no room for the terminator, and the last
        // character goes whole.
        std::string over(DISPLAY_TITLE_BYTES - prefix.size() - character.size(), 'a');
        display_format_title(title, sizeof title, (over + character).c_str());
        EXPECT_EQ(std::string(title), prefix + over) << character.size() << "-byte character at the end";
    }
}

TEST(DisplayOpen, FailingVideoStartUpIsFatal)
{
    EXPECT_EXIT(
        {
            setenv("SDL_VIDEODRIVER", "no-such-driver", 1);
            display_open("x.dv");
        },
        ::testing::ExitedWithCode(1), "^Couldn't initialize SDL: .+\n$");
}
