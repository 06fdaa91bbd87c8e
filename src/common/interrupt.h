#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

// Lets a long operation be stopped from outside while it runs. The core knows nothing of who
// asks: the caller supplies `poll`, which returns normally to go on and throws to stop (the
// Python binding throws the pending KeyboardInterrupt). Operations call `step` with the work done
// since the last call (bytes read, symbols visited, ...); every kPollEvery units of work, well
// under a millisecond apart, `poll` runs. The operations publish nothing until they finish, so a
// throw leaves the model exactly as it was.
class Interrupt {
 public:
  using Poll = void (*)(void* context);

  Interrupt() = default;  // never stops
  Interrupt(Poll poll, void* context) : poll_(poll), context_(context) {}

  void step(uint64_t work = 1) {
    if (poll_ == nullptr) return;
    budget_ -= static_cast<int64_t>(work);
    if (budget_ <= 0) {
      budget_ = kPollEvery;
      stopped_ = true;  // stays set only if `poll` throws
      poll_(context_);
      stopped_ = false;
    }
  }

  // Whether a poll has thrown: the operation is being unwound because it was asked to stop.
  bool stopped() const { return stopped_; }

 private:
  static constexpr int64_t kPollEvery = 1 << 16;
  Poll poll_ = nullptr;
  void* context_ = nullptr;
  int64_t budget_ = kPollEvery;
  bool stopped_ = false;
};

// Calls f(begin, end) for consecutive blocks of [0, count), stepping `interrupt` after each, so
// that a loop too cheap to count its items one by one still polls in time.
template <class F>
void in_blocks(size_t count, Interrupt& interrupt, F&& f) {
  constexpr size_t kBlock = 1 << 16;
  for (size_t begin = 0; begin < count; begin += kBlock) {
    const size_t end = std::min(count, begin + kBlock);
    f(begin, end);
    interrupt.step(end - begin);
  }
}
