#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unordered_map.h>
#include <nanobind/stl/vector.h>

#include "common/interrupt.h"
#include "model/bpe.h"

namespace nb = nanobind;

// The standard casters give the conversions and refusals of the Python surface: integers through
// int(x) for any non-float, texts only from str, sequences other than str and bytes, mappings
// through items(); a refused value raises TypeError before the model is touched. Two inputs need
// care first, because the casters read them unchecked and a hostile value would crash the
// interpreter: the items of a mapping must each be a (key, value) tuple, and a list is copied to
// a tuple before its elements are converted, so that a conversion which mutates the list (an
// __index__ that clears it) cannot pull the storage from under the caster. Anything refused
// falls through to nanobind's standard "incompatible function arguments" TypeError.

namespace {

template <class T>
T convert_or_refuse(nb::handle value) {
  T out;
  if (!nb::try_cast(value, out)) throw nb::next_overload();
  return out;
}

// A list's elements, held by a tuple that no conversion can change; other values unchanged.
nb::object stable(nb::handle value) {
  if (PyList_Check(value.ptr())) return nb::steal(PyList_AsTuple(value.ptr()));
  return nb::borrow(value);
}

// Converts a mapping through its items(); a key that occurs twice keeps its first value.
template <class Map>
Map mapping_from(nb::handle value) {
  if (!nb::hasattr(value, "items")) throw nb::next_overload();
  nb::object items;
  try {
    items = nb::list(value.attr("items")());
  } catch (const nb::python_error&) {
    throw nb::next_overload();
  }
  Map map;
  for (nb::handle item : items) {
    if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) throw nb::next_overload();
    auto key = convert_or_refuse<typename Map::key_type>(PyTuple_GET_ITEM(item.ptr(), 0));
    auto mapped = convert_or_refuse<typename Map::mapped_type>(PyTuple_GET_ITEM(item.ptr(), 1));
    map.emplace(std::move(key), std::move(mapped));
  }
  return map;
}

// Ctrl-C during a long call: the interpreter's signal handler only sets a flag, which the core
// polls through this; a pending KeyboardInterrupt (or any other signal handler's exception) is
// thrown as a python_error, unwinds the core before anything is published, and is raised again.
Interrupt python_interrupt() {
  return Interrupt(
      [](void*) {
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
      },
      nullptr);
}

}  // namespace

NB_MODULE(lorvane_api, m) {
  m.doc() = "Lorvane BPE tokenizer API";
  nb::class_<BPE>(m, "BPE")
      .def(nb::init<int>(), nb::arg("vocab_size"))
      .def(
          "train_fromfile",
          [](BPE& model, const std::string& filepath, unsigned long buffer_size) {
            Interrupt interrupt = python_interrupt();
            model.train_fromfile(filepath, buffer_size, interrupt);
          },
          nb::arg("filepath"), nb::arg("buffer_size"))
      .def(
          "encode",
          [](const BPE& model, const std::string& text) {
            Interrupt interrupt = python_interrupt();
            return model.encode(text, interrupt);
          },
          nb::arg("text"))
      .def(
          "decode",
          [](const BPE& model, nb::handle ids) {
            return model.decode(convert_or_refuse<std::vector<uint16_t>>(stable(ids)));
          },
          nb::arg("ids"), nb::sig("def decode(self, ids: collections.abc.Sequence[int]) -> str"))
      .def_rw("vocab_size", &BPE::vocab_size,
              nb::for_setter(nb::sig("def vocab_size(self, arg: int, /) -> None")))
      .def_prop_rw(
          "vocab", [](const BPE& model) { return model.vocab; },
          [](BPE& model, nb::handle value) {
            model.vocab = convert_or_refuse<std::vector<std::string>>(stable(value));
          },
          nb::for_setter(nb::sig("def vocab(self, arg: collections.abc.Sequence[str], /) -> None")))
      .def_prop_rw(
          "merge_rank", [](const BPE& model) { return model.merge_rank; },
          [](BPE& model, nb::handle value) {
            model.merge_rank = mapping_from<std::unordered_map<uint32_t, uint32_t>>(value);
          },
          nb::for_setter(
              nb::sig("def merge_rank(self, arg: collections.abc.Mapping[int, int], /) -> None")))
      .def_prop_rw(
          "token_to_id", [](const BPE& model) { return model.token_to_id; },
          [](BPE& model, nb::handle value) {
            model.token_to_id = mapping_from<std::unordered_map<std::string, uint32_t>>(value);
          },
          nb::for_setter(
              nb::sig("def token_to_id(self, arg: collections.abc.Mapping[str, int], /) -> None")));
}
