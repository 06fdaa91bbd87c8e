#include "python/model_object.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <stdexcept>
#include <string>

namespace nb = nanobind;

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "the futex word is a plain 32-bit integer");

uint32_t* futex_word(std::atomic<uint32_t>& word) {
  return reinterpret_cast<uint32_t*>(&word);
}

// Sleeps while `word` holds `expected`, for at most `timeout`. A wake, a signal delivered to
// this thread or the time-out ends the sleep; so does a word that already changed.
void sleep_while(std::atomic<uint32_t>& word, uint32_t expected, std::chrono::nanoseconds timeout) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const timespec relative{static_cast<time_t>(seconds.count()),
                          static_cast<long>((timeout - seconds).count())};
  syscall(SYS_futex, futex_word(word), FUTEX_WAIT_PRIVATE, expected, &relative, nullptr, 0);
}

void wake_all(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, futex_word(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Whether a thread of `interpreter` has the thread state of id `id`. Thread states are deleted
// when their thread ends and, in the child of a fork, for every thread but the one that forked.
bool thread_exists(PyInterpreterState* interpreter, uint64_t id) {
  for (PyThreadState* thread = PyInterpreterState_ThreadHead(interpreter); thread != nullptr;
       thread = PyThreadState_Next(thread)) {
    if (PyThreadState_GetID(thread) == id) return true;
  }
  return false;
}

}  // namespace

Claim::Claim(BpeObject& self, const char* call) : self_(self) {
  PyThreadState* const thread = PyThreadState_Get();
  const uint64_t id = PyThreadState_GetID(thread);
  while (self.running != nullptr) {
    if (self.running_thread == id) {
      throw std::runtime_error(std::string("reentrant call: ") + call + " while " + self.running +
                               " is running on the same object");
    }
    if (!thread_exists(PyThreadState_GetInterpreter(thread), self.running_thread)) {
      // The claim came with a fork from a thread the child does not have: its call will never
      // end here. The kept data it may have been using is dropped, to be derived again; the
      // tables themselves are only ever replaced whole, where no Python code runs.
      self.running = nullptr;
      self.drop_kept();
      break;
    }
    // Another thread's call, paused in Python code or at a poll: sleep until it releases the
    // claim, with the bit set that asks it to wake this thread.
    const uint32_t seen = self.released.fetch_or(1, std::memory_order_relaxed) | 1;
    {
      nb::gil_scoped_release unlocked;
      sleep_while(self.released, seen, kSignalCheck);
    }
    // On the main thread, Ctrl-C ends the wait; the object is untouched.
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
  }
  self.running = call;
  self.running_thread = id;
}

Claim::~Claim() {
  self_.running = nullptr;
  const uint32_t word = self_.released.load(std::memory_order_relaxed);
  if ((word & 1) != 0) {
    // Waiters registered since the last release: a new value, without the bit, and a wake.
    self_.released.store((word + 2) & ~uint32_t{1}, std::memory_order_relaxed);
    wake_all(self_.released);
  }
}
