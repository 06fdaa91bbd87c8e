#include "python/convert.h"

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

bool read_plain_ids(nb::handle sequence, std::vector<uint16_t>& out, Interrupt& interrupt) {
  PyObject* const ids = sequence.ptr();
  if (!PyList_CheckExact(ids) && !PyTuple_CheckExact(ids)) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(ids);
  out.resize(static_cast<size_t>(size));
  bool plain = true;
  in_blocks(out.size(), interrupt, [&](size_t begin, size_t end) {
    // Looked up again after every poll: a list may have been changed, and its storage moved.
    if (!plain || PySequence_Fast_GET_SIZE(ids) != size) {
      plain = false;
      return;
    }
    PyObject* const* const items = PySequence_Fast_ITEMS(ids);
    uint16_t* const values = out.data();
    for (size_t i = begin; i < end; ++i) {
      // Every int in range is compact: its value is read inline, without a call.
      const auto* number = reinterpret_cast<PyLongObject*>(items[i]);
      if (!PyLong_CheckExact(items[i]) || !PyUnstable_Long_IsCompact(number)) {
        plain = false;
        return;
      }
      const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
      if (value < 0 || value > UINT16_MAX) {
        plain = false;
        return;
      }
      values[i] = static_cast<uint16_t>(value);
    }
  });
  return plain && PySequence_Fast_GET_SIZE(ids) == size;
}

std::unordered_map<uint32_t, uint32_t> ranks_from(nb::handle mapping) {
  return mapping_from<std::unordered_map<uint32_t, uint32_t>>(mapping, integer_from<uint32_t>);
}

std::unordered_map<std::string, uint32_t> token_ids_from(nb::handle mapping) {
  return mapping_from<std::unordered_map<std::string, uint32_t>>(mapping, text_from);
}
