#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

// Conversions between token ids and Python objects that the standard casters make one object
// call per id for. All of them need the interpreter lock.

// Reads `ids` when it is an exact list or tuple of exact ints in 0..65535: such items run no
// Python code while read, so the sequence cannot change under the loop. False (`out`
// unspecified) for anything else, which the caller converts the standard way.
bool read_plain_ids(PyObject* ids, std::vector<uint16_t>& out);

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

  // A new list of the ids; null with MemoryError set when memory runs out.
  PyObject* list(const std::vector<uint16_t>& ids);

 private:
  std::vector<PyObject*> ints_;  // id -> its int, null until first needed
};
