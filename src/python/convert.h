#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Conversions of method arguments and assigned values, with the acceptances and refusals of the
// standard casters: integers through int(x) for any non-float, texts only from str (one with no
// UTF-8 form, a lone surrogate, is refused), sequences other than an exact str or bytes, mappings
// through items(). A refused value throws nb::next_overload, which nanobind reports as its
// standard "incompatible function arguments" TypeError. An exception that says nothing about the
// value is not a refusal and passes through unchanged: MemoryError, and the ones that are not
// an Exception at all (KeyboardInterrupt from a Ctrl-C during a slow __index__ or items(),
// SystemExit).
//
// They are written here rather than left to the casters for two reasons. The casters run inside
// noexcept functions, so running out of memory while they copy a text or reserve a vector ends
// the process; here it raises MemoryError. And a conversion can run the caller's Python code
// (`__index__`, `items()`, `__getitem__`), which may change the very list being read: lists are
// read through a tuple copy that no code can change, and the items of a mapping are checked to
// be (key, value) tuples before they are read unchecked.

namespace nb = nanobind;

// Takes a new reference from the C API; null means it raised, and its error is raised again.
template <class T>
T owned(PyObject* object) {
  if (object == nullptr) throw nb::python_error();
  return nb::steal<T>(object);
}

// The UTF-8 form of a str, held by the str itself (CPython makes it once and keeps it until the
// str dies): valid while the caller holds a reference to `text`. MemoryError when it cannot be
// made.
std::string_view utf8_of(nb::handle text);

// The same text copied into a std::string.
std::string text_from(nb::handle text);

// Where the C API call that made `result` failed (null), raises its exception again when it is
// one that passes through, else refuses the value.
nb::object or_refuse(PyObject* result);

// An integer of type T, range checked: an exact int as it is, anything else but a float through
// int(x), as the standard caster does.
template <class T>
T integer_from(nb::handle value) {
  T out;
  if (PyLong_CheckExact(value.ptr())) {
    if (!nb::try_cast(value, out)) throw nb::next_overload();  // runs no Python code
    return out;
  }
  if (PyFloat_Check(value.ptr())) throw nb::next_overload();
  const nb::object number = or_refuse(PyNumber_Long(value.ptr()));
  if (!PyLong_CheckExact(number.ptr()) || !nb::try_cast(number, out)) throw nb::next_overload();
  return out;
}

// The elements of a sequence, each converted; the first refused element refuses the whole value.
std::vector<std::string> texts_from(nb::handle sequence);
std::vector<uint16_t> ids_from(nb::handle sequence);

// Reads ids straight from an exact list or tuple of exact ints in 0..65535, as it is when the
// read begins: no Python code runs while it reads, so nothing can change the list meanwhile.
// Between blocks it only looks whether Ctrl-C arrived; if so, the signal handlers run (the
// default one raises KeyboardInterrupt), and where they return it gives up. False (`out`
// unspecified) then and for anything else: `ids_from` converts the sequence as it is then,
// from a copy.
bool read_plain_ids(nb::handle sequence, std::vector<uint16_t>& out);

// A mapping converted through its items(); a key that occurs twice keeps its first value.
std::unordered_map<uint32_t, uint32_t> ranks_from(nb::handle mapping);
std::unordered_map<std::string, uint32_t> token_ids_from(nb::handle mapping);
