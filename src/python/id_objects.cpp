#include "python/id_objects.h"

#include <algorithm>
#include <new>

PyObject* str_of(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

IdObjects::~IdObjects() {
  for (PyObject* object : ints_) Py_XDECREF(object);
}

PyObject* IdObjects::list(const std::vector<uint16_t>& ids, Interrupt& interrupt) {
  // Grown before the list exists, so that running out of memory here leaves nothing to release.
  const size_t largest = ids.empty() ? 0 : *std::max_element(ids.begin(), ids.end());
  if (largest >= ints_.size()) ints_.resize(largest + 1, nullptr);
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(ids.size()));
  if (list == nullptr) return nullptr;
  // Polls run Python code: until it is full, the list is hidden from the collector (and so from
  // gc.get_objects()), and only `ints_[id]` is read, never a pointer held across a poll.
  PyObject_GC_UnTrack(list);
  size_t i = 0;
  try {
    for_each_block(ids, interrupt, [&](uint16_t id) {
      PyObject* object = ints_[id];
      if (object == nullptr) {
        object = PyLong_FromLong(id);
        if (object == nullptr) {
          PyErr_Clear();
          throw std::bad_alloc();
        }
        ints_[id] = object;
      }
      Py_INCREF(object);
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i++), object);
    });
  } catch (...) {
    Py_DECREF(list);  // the items set so far are released with it; the rest are null
    throw;
  }
  PyObject_GC_Track(list);
  return list;
}
