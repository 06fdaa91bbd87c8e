#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/interrupt.h"

// The token texts of one vocabulary as units of each width a str may use, so that decoding
// writes its result straight into the str instead of joining UTF-8 and decoding that again. Each
// token's units end with the space decoding puts after it; one more entry holds U+FFFD, the text
// of an id outside the vocabulary. Needs the interpreter lock.
class DecodeTable {
 public:
  // Decodes each token once; `vocab` is not kept. Throws std::bad_alloc when memory runs out.
  explicit DecodeTable(const std::vector<std::string>& vocab);

  // False when an id names a token that is not valid UTF-8 on its own, whose text only the
  // joined bytes can tell. Else true, with `result` the new str of the ids' texts, exactly the
  // strict UTF-8 decoding of `BPE::decode(ids)` (null with MemoryError set when memory runs out).
  // Polls `interrupt`; a throw from it leaves `result` untouched.
  bool decode(const std::vector<uint16_t>& ids, PyObject*& result, Interrupt& interrupt) const;

 private:
  static constexpr Py_UCS4 kIrregular = 0xFFFFFFFF;  // max_char_ of a token not valid alone

  // Writes the units of `count` ids at `out`; returns the end of what it wrote.
  template <class Unit>
  Unit* fill(Unit* out, const std::vector<Unit>& units, const uint16_t* ids, size_t count) const;
  // The same for all of `ids`, polling between blocks.
  template <class Unit>
  void fill_blocks(void* out, const std::vector<Unit>& units, const std::vector<uint16_t>& ids,
                   Interrupt& interrupt) const;

  std::vector<size_t> starts_;  // entry i is units [starts_[i], starts_[i + 1])
  std::vector<Py_UCS4> max_char_;
  // The same units at each width; where a unit does not fit the width the value is unused,
  // because a result holding it is made at a wider one. ucs4_ is empty when no token needs it.
  std::vector<Py_UCS1> ucs1_;
  std::vector<Py_UCS2> ucs2_;
  std::vector<Py_UCS4> ucs4_;
};
