#pragma once

#include <ostream>
#include <sstream>
#include <string>

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
