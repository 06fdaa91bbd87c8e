#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/interrupt.h"

// Conversions between token ids and Python objects that the standard casters make one object
// call per id for. All of them need the interpreter lock.

// A new str of UTF-8 `text`, decoded strictly as the standard string caster does; null with a
// Python error set when it fails.
PyObject* str_of(const std::string& text);

// Python ints for ids, each made once and shared by every list built afterwards (ints are
// immutable, so sharing cannot be observed). Owns one reference to each int it made.
class IdObjects {
 public:
  IdObjects() = default;
  IdObjects(const IdObjects&) = delete;
  IdObjects& operator=(const IdObjects&) = delete;
  ~IdObjects();

  // A new list of the ids; null with MemoryError set when memory runs out. Polls `interrupt`
  // while it fills the list; a throw from it releases the list.
  PyObject* list(const std::vector<uint16_t>& ids, Interrupt& interrupt);

 private:
  std::vector<PyObject*> ints_;  // id -> its int, null until first needed
};
