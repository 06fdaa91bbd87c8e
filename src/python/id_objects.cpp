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
  // gc.get_objects()), and its storage is looked up anew after each poll.
  PyObject_GC_UnTrack(list);
  try {
    in_blocks(ids.size(), interrupt, [&](size_t begin, size_t end) {
      PyObject** const items = reinterpret_cast<PyListObject*>(list)->ob_item;
      PyObject** const ints = ints_.data();
      const uint16_t* const values = ids.data();
      for (size_t i = begin; i < end; ++i) {
        PyObject* object = ints[values[i]];
        if (object == nullptr) {
          object = PyLong_FromLong(values[i]);
          if (object == nullptr) {
            PyErr_Clear();
            throw std::bad_alloc();
          }
          ints[values[i]] = object;
        }
        Py_INCREF(object);
        items[i] = object;
      }
    });
  } catch (...) {
    Py_DECREF(list);  // the items set so far are released with it; the rest are null
    throw;
  }
  PyObject_GC_Track(list);
  return list;
}
