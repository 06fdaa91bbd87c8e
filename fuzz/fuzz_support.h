#pragma once

// Helpers shared by the fuzz harnesses: reading structured choices from the fuzz input,
// capturing the console streams, comparing models and outcomes, and failing loudly.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "model/bpe.h"

namespace fuzz {

// Prints what went wrong and aborts, which libFuzzer (and the replay driver) report as a crash.
[[noreturn]] inline void fail(const char* file, int line, const std::string& what) {
  std::fprintf(stderr, "\n%s:%d: property violated: %s\n", file, line, what.c_str());
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(cond, msg)                                                           \
  do {                                                                                  \
    if (!(cond)) ::fuzz::fail(__FILE__, __LINE__, std::string(#cond) + " -- " + (msg)); \
  } while (0)

// Consumes the fuzz input front to back; past the end every read gives 0, so any input is a
// valid description.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  size_t remaining() const { return empty() ? 0 : size_ - pos_; }

  uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
  // A value in [0, n), n > 0.
  size_t below(size_t n) { return byte() % n; }
  bool flag() { return byte() & 1; }

  // The rest of the input as raw bytes.
  std::string rest() {
    std::string out;
    if (!empty()) out.assign(reinterpret_cast<const char*>(data_ + pos_), size_ - pos_);
    pos_ = size_;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Redirects std::cout and std::cerr into strings for the lifetime of the object.
class CaptureConsole {
 public:
  CaptureConsole()
      : old_out_(std::cout.rdbuf(out_.rdbuf())), old_err_(std::cerr.rdbuf(err_.rdbuf())) {}
  ~CaptureConsole() {
    std::cout.rdbuf(old_out_);
    std::cerr.rdbuf(old_err_);
  }
  CaptureConsole(const CaptureConsole&) = delete;
  CaptureConsole& operator=(const CaptureConsole&) = delete;

  // Returns what was written since the last take and starts afresh.
  std::string take_out() { return take(out_); }
  std::string take_err() { return take(err_); }

 private:
  static std::string take(std::ostringstream& s) {
    std::string text = s.str();
    s.str("");
    s.clear();
    return text;
  }
  std::ostringstream out_, err_;
  std::streambuf* old_out_;
  std::streambuf* old_err_;
};

// What an operation ended with: nothing thrown, or the dynamic type and message of what was.
struct Thrown {
  std::string type;  // empty when nothing was thrown
  std::string what;
  bool operator==(const Thrown&) const = default;
  std::string describe() const {
    return type.empty() ? "no exception" : type + "(\"" + what + "\")";
  }
};

// Runs `op` and records the exception it throws, if any.
template <class Op>
Thrown capture_throw(Op&& op) {
  try {
    op();
    return {};
  } catch (const std::exception& e) {
    return {typeid(e).name(), e.what()};
  }
}

inline bool same_model(const BPE& a, const BPE& b) {
  return a.vocab_size == b.vocab_size && a.vocab == b.vocab && a.merge_rank == b.merge_rank &&
         a.token_to_id == b.token_to_id;
}

// Messages show at most this many bytes or values; the input file has the rest.
inline constexpr size_t kShown = 96;

inline std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < kShown; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  if (bytes.size() > kShown) out += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

template <class T>
std::string join(const std::vector<T>& values) {
  std::ostringstream s;
  for (size_t i = 0; i < values.size() && i < kShown; ++i) s << (i ? "," : "") << +values[i];
  if (values.size() > kShown) s << ",... (" << values.size() << " values)";
  return s.str();
}

// Console text for a message: the first few hundred characters.
inline std::string clip(const std::string& text) {
  return text.size() <= 4 * kShown
             ? text
             : text.substr(0, 4 * kShown) + "... (" + std::to_string(text.size()) + " chars)";
}

// The first place where two sequences differ, for messages about long ones.
template <class T>
std::string first_difference(const std::vector<T>& a, const std::vector<T>& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return " (first difference at index " + std::to_string(i) + " of " + std::to_string(a.size()) +
         " and " + std::to_string(b.size()) + ")";
}

}  // namespace fuzz
