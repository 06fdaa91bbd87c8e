#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "model/export.h"

// A byte count in human units: the value and one of "B", "KB", "MB", "GB", "TB".
using ReadableSize = std::pair<double, std::string>;

// `bytes` divided by 1024 once per unit step reached, unrounded: 1536 -> (1.5, "KB").
LORVANE_API ReadableSize getReadableFileSize(unsigned long bytes);

// Draws "\r<label> | [=====     ]  57% (57/100)" on standard output and flushes; no line end.
LORVANE_API void progress_bar(int current, int total, const std::string& label);

// Draws the corpus reading bar for `position - start` of `total` bytes and `tokens` units read.
LORVANE_API void file_progress_bar(const char* position, const char* start, unsigned long total,
                                   unsigned long tokens);

// The same bar from a byte count, for readers that do not hold the whole file in one buffer.
void draw_file_progress(uint64_t done, uint64_t total, uint64_t tokens);

// Blanks the current bar line and writes "[LOG] <message>" with a line end.
LORVANE_API void progress_log(const std::string& message);
