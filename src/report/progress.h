#pragma once

#include <cstdint>
#include <iostream>
#include <string>
#include <utility>

#include "common/export.h"
#include "common/interrupt.h"

// A byte count in human units: the value and one of "B", "KB", "MB", "GB", "TB".
using ReadableSize = std::pair<double, std::string>;

// `bytes` divided by 1024 once per unit step reached, unrounded: 1536 -> (1.5, "KB").
LORVANE_API ReadableSize getReadableFileSize(unsigned long bytes);

// Draws "\r<label> | [=====     ]  57% (57/100)" on standard output and flushes; no line end.
LORVANE_API void progress_bar(int current, int total, const std::string& label);

// Draws "\rPre-Tokenizing  | [===>      ]  40% (4/10 MB) Tokens: <tokens>", the corpus reading
// bar for `done` of `total` bytes and `tokens` units read, on standard output and flushes.
LORVANE_API void file_progress_bar(uint64_t done, uint64_t total, uint64_t tokens);

// Blanks the current bar line and writes "[LOG] <message>" with a line end.
LORVANE_API void progress_log(const std::string& message);

// Ends the bar line when an interrupt stops an operation that has drawn a bar on it: the line end
// that the operation writes after its last bar is then skipped, and whatever is printed next (the
// traceback of the KeyboardInterrupt) would run on after the bar. `bar_drawn()` tells whether a
// bar is on the line. Output is unchanged on every other path, failures included.
template <class BarDrawn>
class EndBarLineWhenStopped {
 public:
  EndBarLineWhenStopped(const Interrupt& interrupt, BarDrawn bar_drawn)
      : interrupt_(interrupt), bar_drawn_(bar_drawn) {}
  EndBarLineWhenStopped(const EndBarLineWhenStopped&) = delete;
  EndBarLineWhenStopped& operator=(const EndBarLineWhenStopped&) = delete;
  ~EndBarLineWhenStopped() {
    if (interrupt_.stopped() && bar_drawn_()) std::cout << '\n' << std::flush;
  }

 private:
  const Interrupt& interrupt_;
  BarDrawn bar_drawn_;
};
