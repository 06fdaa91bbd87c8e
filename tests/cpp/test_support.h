#pragma once

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

// Helpers shared by the C++ test suites.

// Redirects a standard stream (std::cout, std::cerr) into a buffer while alive, and counts the
// flushes it sees.
class Capture {
 public:
  explicit Capture(std::ostream& stream) : stream_(stream), old_(stream.rdbuf(&buffer_)) {}
  ~Capture() { stream_.rdbuf(old_); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::string text() const { return buffer_.str(); }
  int flushes() const { return buffer_.syncs; }

 private:
  struct CountingBuffer : std::stringbuf {
    int syncs = 0;
    int sync() override {
      ++syncs;
      return std::stringbuf::sync();
    }
  };
  std::ostream& stream_;
  CountingBuffer buffer_;
  std::streambuf* old_;
};

using Units = std::vector<uint16_t>;

// Units from ASCII text; '|' stands for the boundary unit.
inline Units units_of(const std::string& text) {
  Units units;
  for (char c : text) units.push_back(c == '|' ? 0 : static_cast<uint16_t>(c));
  return units;
}
