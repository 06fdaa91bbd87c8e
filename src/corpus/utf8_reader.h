#pragma once

#include <utf8.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <istream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "common/code_units.h"
#include "common/export.h"
#include "common/interrupt.h"
#include "report/progress.h"

// The corpus reader: checks a corpus file, then decodes it as strict UTF-8 into the
// pre-tokenized code-unit sequence, in one loop (`corpus::stream_utf8_units`) that training
// feeds to its word counter and `utf8_tokens_fromfile` to a vector.

// Either the size of a regular file or why the path was refused: "File does not exist!" or
// "Not a regular file!".
using FileInfo = std::variant<ReadableSize, std::string>;

// Checks that `path` names an existing regular file (links followed) and measures it. Never
// opens the file. A path holding a NUL byte names no file. Other file-system failures throw
// std::filesystem::filesystem_error.
LORVANE_API FileInfo getFileInfo(const std::string& path);

// Reads an opened corpus file whole as strict UTF-8 and appends its pre-tokenized code units to
// `units` (whitespace -> 0x0000 0x0120, code points cut to 16 bits), then one closing 0x0000.
// Draws the "Pre-Tokenizing" bar on standard output. Throws utfcpp's errors on malformed UTF-8
// and std::runtime_error when the file delivers fewer bytes than its size.
LORVANE_API void utf8_tokens_fromfile(std::ifstream& file, std::vector<unsigned short>& units);

// Streams a UTF-8 file as the pre-tokenized code-unit sequence: every code point cut to its low
// 16 bits; tab, line feed, carriage return and space become the boundary unit 0x0000 followed
// by the space marker 0x0120. `sink(unit)` receives each unit in order; `units()` of the sink
// tells how many it has, for the reading bar. The file is read in bounded chunks, but every
// code point is decoded with at least four bytes in view (or the true end), so the result and
// the error raised on malformed input are those of decoding the whole file at once. The bar is
// drawn after each mebibyte decoded and once at the end, followed by a line feed. The closing
// boundary unit is the caller's to append. `interrupt` is polled as bytes are read and decoded.
namespace corpus {

// Bytes read per call: the buffer is a few MiB beside the hundreds the word tables take, and a
// read call per 4 MiB costs nothing beside decoding them. Training 10 MB of en and cjk with
// 1 MiB or 16 MiB instead took 0.94 to 1.04 times the CPU time (bench/before_after.py at
// d9f8e09, a loaded machine where identical builds differed by up to 13%): insensitive.
constexpr size_t kChunkBytes = size_t{1} << 22;

// Size of the stream in bytes, measured by seeking to its end; the stream is left at the start.
inline uint64_t stream_size(std::istream& in) {
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  // The text the standard library gives when a vector of a negative size is asked for.
  if (size < 0) throw std::length_error("cannot create std::vector larger than max_size()");
  return static_cast<uint64_t>(size);
}

template <class Sink>
void stream_utf8_units(std::istream& in, uint64_t size, Sink& sink, Interrupt& interrupt) {
  constexpr uint64_t kReportEvery = 1048576;
  std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(size, kChunkBytes)) + 4);
  uint64_t unread = size;  // bytes not yet read from the stream
  uint64_t consumed = 0;   // bytes decoded so far
  uint64_t last_report = 0;
  const EndBarLineWhenStopped end_line(interrupt, [&] { return last_report != 0; });
  size_t held = 0;  // bytes carried over from the previous chunk
  while (true) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(unread, buffer.size() - 4 - held));
    in.read(buffer.data() + held, static_cast<std::streamsize>(want));
    const auto got = static_cast<size_t>(in.gcount());
    if (got != want) {
      throw std::runtime_error("short read: the corpus file delivered " +
                               std::to_string(size - unread + got) + " of " + std::to_string(size) +
                               " bytes");
    }
    unread -= got;
    interrupt.step(got);
    const bool last_chunk = unread == 0;
    const char* const begin = buffer.data();
    const char* const end = begin + held + got;
    // Without the end of the file in view, stop where a sequence might run past the buffer.
    const char* const stop = last_chunk ? end : end - std::min<size_t>(3, held + got);
    const char* it = begin;
    while (it < stop) {
      const uint16_t unit = next_unit(it, end);
      if (is_word_break(unit)) {
        sink(kBoundary);
        sink(kSpaceMarker);
      } else {
        sink(unit);
      }
      const uint64_t done = consumed + static_cast<uint64_t>(it - begin);
      if (done - last_report > kReportEvery - 1) {
        file_progress_bar(done, size, sink.units());
        last_report = done;
        interrupt.step(kReportEvery);  // decoding a mebibyte takes milliseconds: poll here too
      }
    }
    consumed += static_cast<uint64_t>(it - begin);
    held = static_cast<size_t>(end - it);
    std::copy(it, end, buffer.data());
    if (last_chunk) break;
  }
  file_progress_bar(size, size, sink.units());
  std::cout << '\n' << std::flush;
}

}  // namespace corpus
