// The window: opened once, then one presentation per newly shown frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common.h"

constexpr size_t DISPLAY_TITLE_BYTES = 500;  // the title buffer, terminator included

void display_open(const char *path);  // returns only with the window open and drawn once
uint32_t display_map_rgb(uint8_t r, uint8_t g, uint8_t b);
void display_present(const RgbImage *image, int32_t index, int32_t count);
void display_refresh();  // the whole window again as last presented, when the window system lost it
// SDL's quit request: returns when it is the user's; the lost display's line and status 1 when the
// window system's connection broke (wayland.cpp).
void display_quit_requested();

void display_format_title(char *title, size_t size, const char *path);  // "Korlan <path>", cut to fit
int display_strip_width(int width, int32_t index, int32_t count);  // green pixels for frame index of count
