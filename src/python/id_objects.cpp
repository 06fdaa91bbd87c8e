#include "python/id_objects.h"

#include <algorithm>

bool read_plain_ids(PyObject* ids, std::vector<uint16_t>& out) {
  if (!PyList_CheckExact(ids) && !PyTuple_CheckExact(ids)) return false;
  PyObject** items = PySequence_Fast_ITEMS(ids);
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(ids);
  out.resize(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = items[i];
    // Every int in range is compact: its value is read inline, without a call.
    if (!PyLong_CheckExact(item)) return false;
    const auto* number = reinterpret_cast<PyLongObject*>(item);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
    if (value < 0 || value > UINT16_MAX) return false;
    out[static_cast<size_t>(i)] = static_cast<uint16_t>(value);
  }
  return true;
}

PyObject* str_of(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

IdObjects::~IdObjects() {
  for (PyObject* object : ints_) Py_XDECREF(object);
}

PyObject* IdObjects::list(const std::vector<uint16_t>& ids) {
  // Grown before the list exists, so that running out of memory here leaves nothing to release.
  const size_t largest = ids.empty() ? 0 : *std::max_element(ids.begin(), ids.end());
  if (largest >= ints_.size()) ints_.resize(largest + 1, nullptr);
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(ids.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    PyObject* object = ints_[ids[i]];
    if (object == nullptr) {
      object = PyLong_FromLong(ids[i]);
      if (object == nullptr) {
        Py_DECREF(list);  // the items set so far are released with it; the rest are null
        return nullptr;
      }
      ints_[ids[i]] = object;
    }
    Py_INCREF(object);
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), object);
  }
  return list;
}
