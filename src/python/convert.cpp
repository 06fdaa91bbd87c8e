#include "python/convert.h"

#include <algorithm>
#include <csignal>
#include <new>

namespace {

// Whether the Python exception being raised passes through a conversion instead of refusing the
// value.
bool passes_through() {
  return PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception);
}

[[noreturn]] void raise_or_refuse() {
  if (passes_through()) throw nb::python_error();
  PyErr_Clear();
  throw nb::next_overload();
}

// A tuple of the sequence's items that no conversion can change: a tuple itself, a copy of a
// list, or the items of another sequence. Refuses an exact str or bytes and non-sequences; a
// sequence that fails to list its items is refused too, unless it ran out of memory.
nb::object stable_items(nb::handle sequence) {
  PyObject* object = sequence.ptr();
  if (PyTuple_CheckExact(object)) return nb::borrow(sequence);
  if (PyList_CheckExact(object)) return owned<nb::object>(PyList_AsTuple(object));
  if (PyUnicode_CheckExact(object) || PyBytes_CheckExact(object) || !PySequence_Check(object)) {
    throw nb::next_overload();
  }
  return or_refuse(PySequence_Tuple(object));
}

template <class T, class Convert>
std::vector<T> elements_from(nb::handle sequence, Convert convert) {
  const nb::object items = stable_items(sequence);
  const Py_ssize_t size = PyTuple_GET_SIZE(items.ptr());
  std::vector<T> out;
  out.reserve(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) out.push_back(convert(PyTuple_GET_ITEM(items.ptr(), i)));
  return out;
}

// Whether `mapping` has an items attribute. Another exception from looking it up than one that
// passes through is reported as unraisable, in the words of PyObject_HasAttrString, and counts
// as no attribute.
bool has_items(nb::handle mapping) {
  const int found = PyObject_HasAttrStringWithError(mapping.ptr(), "items");
  if (found >= 0) return found == 1;
  if (passes_through()) throw nb::python_error();
  PyErr_FormatUnraisable(
      "Exception ignored in PyObject_HasAttrString(); consider using "
      "PyObject_HasAttrStringWithError(), PyObject_GetOptionalAttrString() or "
      "PyObject_GetAttrString()");
  return false;
}

template <class Map, class Key>
Map mapping_from(nb::handle mapping, Key key_of) {
  if (!has_items(mapping)) throw nb::next_overload();
  // A tuple of the items, so that converting a key cannot change what is being read.
  const nb::object called = or_refuse(PyObject_CallMethod(mapping.ptr(), "items", nullptr));
  const nb::object items = or_refuse(PySequence_Tuple(called.ptr()));
  Map map;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.ptr(), i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) throw nb::next_overload();
    auto key = key_of(PyTuple_GET_ITEM(item, 0));
    auto value = integer_from<typename Map::mapped_type>(PyTuple_GET_ITEM(item, 1));
    map.emplace(std::move(key), value);
  }
  return map;
}

}  // namespace

nb::object or_refuse(PyObject* result) {
  if (result == nullptr) raise_or_refuse();
  return nb::steal(result);
}

std::string_view utf8_of(nb::handle text) {
  if (!PyUnicode_Check(text.ptr())) throw nb::next_overload();
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) raise_or_refuse();  // no UTF-8 form (a lone surrogate), or no memory
  return {data, static_cast<size_t>(size)};
}

std::string text_from(nb::handle text) {
  return std::string(utf8_of(text));
}

std::vector<std::string> texts_from(nb::handle sequence) {
  return elements_from<std::string>(sequence, text_from);
}

std::vector<uint16_t> ids_from(nb::handle sequence) {
  return elements_from<uint16_t>(sequence, integer_from<uint16_t>);
}

namespace {

// Reads the ids of `count` items; false at the first that is not an exact int in 0..65535.
bool read_block(PyObject* const* items, size_t count, uint16_t* values) {
  for (size_t i = 0; i < count; ++i) {
    // Every int in range is compact: its value is read inline, without a call.
    const auto* number = reinterpret_cast<PyLongObject*>(items[i]);
    if (!PyLong_CheckExact(items[i]) || !PyUnstable_Long_IsCompact(number)) return false;
    const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
    if (value < 0 || value > UINT16_MAX) return false;
    values[i] = static_cast<uint16_t>(value);
  }
  return true;
}

}  // namespace

bool read_plain_ids(nb::handle sequence, std::vector<uint16_t>& out) {
  PyObject* const ids = sequence.ptr();
  if (!PyList_CheckExact(ids) && !PyTuple_CheckExact(ids)) return false;
  // Blocks short enough that Ctrl-C is seen within a millisecond.
  constexpr size_t kBlock = 1 << 16;
  const auto size = static_cast<size_t>(PySequence_Fast_GET_SIZE(ids));
  out.clear();
  out.reserve(size);  // its pages are touched block by block, between the looks for Ctrl-C
  PyObject* const* const items = PySequence_Fast_ITEMS(ids);
  for (size_t begin = 0; begin < size; begin += kBlock) {
    const size_t count = std::min(kBlock, size - begin);
    out.resize(begin + count);
    if (!read_block(items + begin, count, out.data() + begin)) return false;
    // Takes a pending Ctrl-C without running its handler, which could change the list.
    if (PyOS_InterruptOccurred() != 0) {
      // Puts it back and runs the handlers, now that nothing half read is kept. A handler that
      // returns may have changed the list: it is read again from a copy, which no later
      // handler can change, so that Ctrl-C after Ctrl-C cannot keep the read from ending.
      PyErr_SetInterruptEx(SIGINT);
      if (PyErr_CheckSignals() != 0) throw nb::python_error();
      return false;
    }
  }
  return true;
}

std::unordered_map<uint32_t, uint32_t> ranks_from(nb::handle mapping) {
  return mapping_from<std::unordered_map<uint32_t, uint32_t>>(mapping, integer_from<uint32_t>);
}

std::unordered_map<std::string, uint32_t> token_ids_from(nb::handle mapping) {
  return mapping_from<std::unordered_map<std::string, uint32_t>>(mapping, text_from);
}
