#include "python/decode_table.h"

#include <algorithm>
#include <cstring>
#include <new>

DecodeTable::DecodeTable(const std::vector<std::string>& vocab) {
  starts_.reserve(vocab.size() + 2);
  max_char_.reserve(vocab.size() + 1);
  starts_.push_back(0);
  auto append = [&](Py_UCS4 unit) {
    ucs1_.push_back(static_cast<Py_UCS1>(unit));
    ucs2_.push_back(static_cast<Py_UCS2>(unit));
    ucs4_.push_back(unit);
  };
  for (const std::string& token : vocab) {
    PyObject* text =
        PyUnicode_DecodeUTF8(token.data(), static_cast<Py_ssize_t>(token.size()), nullptr);
    Py_UCS4 max_char = ' ';
    if (text == nullptr) {
      const bool no_memory = PyErr_ExceptionMatches(PyExc_MemoryError);
      PyErr_Clear();
      if (no_memory) throw std::bad_alloc();
      max_char = kIrregular;
    } else {
      const int kind = PyUnicode_KIND(text);
      const void* data = PyUnicode_DATA(text);
      for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(text); ++i) {
        const Py_UCS4 unit = PyUnicode_READ(kind, data, i);
        max_char = std::max(max_char, unit);
        append(unit);
      }
      Py_DECREF(text);
      append(' ');
    }
    max_char_.push_back(max_char);
    starts_.push_back(ucs4_.size());
  }
  append(0xFFFD);
  max_char_.push_back(0xFFFD);
  starts_.push_back(ucs4_.size());
  // Four-byte results need a character beyond U+FFFF; without one the widest units go unused.
  const bool wide = std::any_of(max_char_.begin(), max_char_.end(),
                                [](Py_UCS4 c) { return c > 0xFFFF && c != kIrregular; });
  if (!wide) std::vector<Py_UCS4>().swap(ucs4_);
}

template <class Unit>
Unit* DecodeTable::fill(Unit* out, const std::vector<Unit>& units, const uint16_t* ids,
                        size_t count) const {
  const size_t replacement = max_char_.size() - 1;
  const size_t* const starts = starts_.data();
  const Unit* const from = units.data();
  for (size_t i = 0; i < count; ++i) {
    const size_t entry = std::min<size_t>(ids[i], replacement);
    const size_t size = starts[entry + 1] - starts[entry];
    std::memcpy(out, from + starts[entry], size * sizeof(Unit));
    out += size;
  }
  return out;
}

template <class Unit>
void DecodeTable::fill_blocks(void* out, const std::vector<Unit>& units,
                              const std::vector<uint16_t>& ids, Interrupt& interrupt) const {
  Unit* at = static_cast<Unit*>(out);
  in_blocks(ids.size(), interrupt, [&](size_t begin, size_t end) {
    at = fill(at, units, ids.data() + begin, end - begin);
  });
}

bool DecodeTable::decode(const std::vector<uint16_t>& ids, PyObject*& result,
                         Interrupt& interrupt) const {
  const size_t replacement = max_char_.size() - 1;
  size_t length = 0;
  Py_UCS4 max_char = 0;
  in_blocks(ids.size(), interrupt, [&](size_t begin, size_t end) {
    const size_t* const starts = starts_.data();
    const Py_UCS4* const max_chars = max_char_.data();
    size_t block_length = 0;
    Py_UCS4 block_max = max_char;
    for (size_t i = begin; i < end; ++i) {
      const size_t entry = std::min<size_t>(ids[i], replacement);
      block_length += starts[entry + 1] - starts[entry];
      block_max = std::max(block_max, max_chars[entry]);
    }
    length += block_length;
    max_char = block_max;
  });
  if (max_char == kIrregular) return false;
  // The exact largest character gives the narrowest width, which str requires of its values.
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(length), max_char);
  if (text == nullptr) {
    result = nullptr;
    return true;
  }
  void* out = PyUnicode_DATA(text);
  try {  // the new str is seen by no one else until it is returned
    switch (PyUnicode_KIND(text)) {
      case PyUnicode_1BYTE_KIND:
        fill_blocks(out, ucs1_, ids, interrupt);
        break;
      case PyUnicode_2BYTE_KIND:
        fill_blocks(out, ucs2_, ids, interrupt);
        break;
      default:
        fill_blocks(out, ucs4_, ids, interrupt);
    }
  } catch (...) {
    Py_DECREF(text);
    throw;
  }
  result = text;
  return true;
}
