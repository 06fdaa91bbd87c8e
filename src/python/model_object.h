#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>

#include "model/bpe.h"
#include "model/encoder.h"
#include "python/decode_table.h"
#include "python/id_objects.h"

// Design note. Python code can run in the middle of any call on the object: the core polls for
// Ctrl-C, and a poll runs signal handlers and, in CPython 3.13, a scheduled garbage collection
// with its finalizers; converting an argument runs the caller's __index__, items() or
// __getitem__; creating any Python object can start a collection. Any of these can call back
// into the same object. Two rules keep that safe:
//
// 1. One call at a time. A call that changes the model (training, assigning an attribute) or
//    uses its kept data (encode, decode) claims the object while it runs. The same call made
//    again from the thread that holds the claim, that is from inside the running call, raises
//    RuntimeError ("reentrant call: ...") and changes nothing, as CPython's buffered files do; the
//    call it interrupted goes on, or ends with that error where the error passes through it (a
//    signal handler's does). From another thread, which can get the interpreter lock only while
//    the running call executes Python code or lets a waiting thread in at a poll, the call waits
//    for the claim instead, asleep, running signal handlers every kSignalCheck so that Ctrl-C
//    ends the wait. A claim whose thread this process does not have (it was held when the
//    process forked, by a thread the child did not inherit) is taken over. Reading an attribute
//    needs no claim: it copies the member in C++ before any Python object is made.
// 2. Kept data exists only for the tables it was derived from. The tables change in one way:
//    `change_tables`, which holds the claim, drops every piece of kept data and then lets the
//    change run; a piece is derived again, whole, by the next call that needs it. No other call
//    can derive one in between (it would need the claim), so no order of conversion, assignment,
//    training and nested calls can leave kept data older than the tables. Arguments are
//    converted before the claim (they touch no member, so Python code run by the conversion may
//    use the object freely).
//
// Names: `BpeObject` is the Python object; `model` (its member, and a `BPE` anywhere in the core)
// is the tokenizer; the tables are the model's `vocab`, `merge_rank` and `token_to_id`.

// One piece of kept data, derived on first use and dropped whenever the tables change.
template <class T>
class Kept {
 public:
  // The data, derived by T(args...) when missing. A failure while deriving leaves nothing kept.
  template <class... Args>
  T& get(const Args&... args) {
    if (!data_) data_ = std::make_unique<T>(args...);
    return *data_;
  }
  void drop() noexcept { data_.reset(); }

 private:
  std::unique_ptr<T> data_;
};

// The Python object: a model, the encoding and decoding data derived from its tables, and the
// call running on it. Never copied or moved: the Encoder refers to `model`.
struct BpeObject {
  BPE model;
  Kept<Encoder> encoder;
  Kept<DecodeTable> decode_table;
  IdObjects id_objects;  // ints of ids: they depend on no table, kept for the object's life
  const char* running = nullptr;  // name of the call holding the claim
  // PyThreadState_GetID of its thread: ids are never reused, in this process or a forked child.
  uint64_t running_thread = 0;
  // Changed by a release that a thread waits for, which sleeps on it (a futex: no lock that a
  // thread missing after a fork could hold); bit 0 is set while a thread waits. Written only
  // with the interpreter lock held.
  std::atomic<uint32_t> released{0};

  explicit BpeObject(int vocab_size) : model(vocab_size) {}
  BpeObject(const BpeObject&) = delete;
  BpeObject& operator=(const BpeObject&) = delete;

  // Called under the claim only.
  Encoder& encoding() { return encoder.get(model); }
  const DecodeTable& decoding() { return decode_table.get(model.vocab); }

  // Drops the kept data, giving its memory back at once (before a training, say). Called where
  // the tables change, and where kept data may be in the middle of a call that will never end.
  void drop_kept() noexcept {
    encoder.drop();
    decode_table.drop();
  }

  // Whether a thread waits for the claim: the holder then lets it have the interpreter lock at
  // each poll, so that the waiting thread can run signal handlers.
  bool awaited() const { return (released.load(std::memory_order_relaxed) & 1) != 0; }
};

// How often a thread waiting for a claim runs signal handlers.
inline constexpr std::chrono::milliseconds kSignalCheck{100};

// Holds the claim on the object for one call (rule 1 of the design note); `call` names it in the
// refusal ("BPE.encode", "assigning BPE.vocab").
class Claim {
 public:
  // Waits while another thread's call holds the claim, raising what a signal handler raises
  // meanwhile (KeyboardInterrupt) with the object untouched.
  Claim(BpeObject& self, const char* call);
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  ~Claim();

 private:
  BpeObject& self_;
};

// The one way the tables change: under a claim named `call`, the kept data is dropped, then
// `change(model)` runs.
template <class Change>
void change_tables(BpeObject& self, const char* call, Change&& change) {
  Claim claim(self, call);
  self.drop_kept();
  change(self.model);
}

// Replaces one table of the model by `value`, already converted.
template <class Member, class Value>
void assign_member(BpeObject& self, Member BPE::*member, Value&& value, const char* call) {
  change_tables(self, call, [&](BPE& model) { model.*member = std::forward<Value>(value); });
}
