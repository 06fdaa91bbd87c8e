#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unordered_map.h>
#include <nanobind/stl/vector.h>

#include "common/interrupt.h"
#include "python/convert.h"
#include "python/model_object.h"

// The bindings of the Python class. What Python code running inside a call may do to the object
// is the design note of python/model_object.h; how arguments are converted, python/convert.h.
// Each method converts its arguments first, then claims the object and runs.

namespace {

// Ctrl-C during a long call on `self`: the interpreter's signal handler only sets a flag, which
// the core polls through this; a pending KeyboardInterrupt (or any other signal handler's
// exception) is thrown as a python_error, unwinds the core before anything is published, and is
// raised again. While another thread waits for the object's claim, each poll also lets go of the
// interpreter lock for a moment, so that the waiting thread can run its signal handlers (on the
// main thread, Ctrl-C) instead of waiting for the lock until this call ends.
Interrupt python_interrupt(BpeObject& self) {
  return Interrupt(
      [](void* context) {
        if (static_cast<const BpeObject*>(context)->awaited()) {
          nb::gil_scoped_release unlocked;
        }
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
      },
      &self);
}

// Builds that look for leaks (LORVANE_LEAK_WARNINGS: the sanitizer and leak-check builds) keep
// nanobind's report of instances alive at exit. Other builds drop it: objects that a daemon thread
// still holds when the interpreter exits are reported although nothing leaks.
constexpr bool kLeakWarnings =
#ifdef LORVANE_LEAK_WARNINGS
    true;
#else
    false;
#endif

}  // namespace

NB_MODULE(lorvane_api, m) {
  // The module keeps one set of types for the process, made by the main interpreter. Isolated
  // subinterpreters are refused by CPython before this runs; one with the legacy configuration
  // gets here, and is refused the same way.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    throw nb::import_error("module lorvane_api does not support loading in subinterpreters");
  }
  nb::set_leak_warnings(kLeakWarnings);
  m.doc() = "Lorvane BPE tokenizer API";
  // Integers are converted by integer_from, which lets a Ctrl-C in an __index__ through.
  nb::class_<BpeObject>(m, "BPE")
      .def(
          "__init__",
          [](BpeObject* self, nb::handle vocab_size) {
            new (self) BpeObject(integer_from<int>(vocab_size));
          },
          nb::arg("vocab_size"), nb::sig("def __init__(self, vocab_size: int) -> None"))
      .def(
          "train_fromfile",
          [](BpeObject& self, const std::string& filepath, nb::handle buffer_size) {
            const auto size = integer_from<unsigned long>(buffer_size);
            // The kept data goes before the training starts, which frees its memory for it.
            change_tables(self, "BPE.train_fromfile", [&](BPE& model) {
              Interrupt interrupt = python_interrupt(self);
              model.train_fromfile(filepath, size, interrupt);
            });
          },
          nb::arg("filepath"), nb::arg("buffer_size"),
          nb::sig("def train_fromfile(self, filepath: str, buffer_size: int) -> None"))
      .def(
          "encode",
          [](BpeObject& self, nb::handle text) {
            const std::string_view utf8 = utf8_of(text);  // lives as long as the argument
            Claim claim(self, "BPE.encode");
            Interrupt interrupt = python_interrupt(self);
            const std::vector<uint16_t> ids = self.model.vocab.empty()
                                                  ? self.model.encode(utf8, interrupt)
                                                  : self.encoding().encode(utf8, interrupt);
            return owned<nb::typed<nb::list, int>>(self.id_objects.list(ids, interrupt));
          },
          nb::arg("text"), nb::sig("def encode(self, text: str) -> list[int]"))
      .def(
          "decode",
          [](BpeObject& self, nb::handle ids) {
            std::vector<uint16_t> values;
            if (!read_plain_ids(ids, values)) values = ids_from(ids);  // a copy of the ids
            Claim claim(self, "BPE.decode");
            Interrupt interrupt = python_interrupt(self);
            // The untrained diagnostic and tokens that are not valid UTF-8 alone take the core's
            // joined bytes.
            PyObject* text = nullptr;
            if (self.model.vocab.empty() || !self.decoding().decode(values, text, interrupt)) {
              text = str_of(self.model.decode(values, interrupt));
            }
            return owned<nb::str>(text);
          },
          nb::arg("ids"), nb::sig("def decode(self, ids: collections.abc.Sequence[int]) -> str"))
      .def_prop_rw(
          "vocab_size", [](const BpeObject& self) { return self.model.vocab_size; },
          [](BpeObject& self, nb::handle value) {
            const int vocab_size = integer_from<int>(value);
            Claim claim(self, "assigning BPE.vocab_size");
            self.model.vocab_size =
                vocab_size;  // read by training alone: nothing kept depends on it
          },
          nb::for_setter(nb::sig("def vocab_size(self, arg: int, /) -> None")))
      // The getters return a C++ copy of the member, which nanobind then turns into Python
      // objects: no Python code runs while the member itself is read.
      .def_prop_rw(
          "vocab", [](const BpeObject& self) { return self.model.vocab; },
          [](BpeObject& self, nb::handle value) {
            assign_member(self, &BPE::vocab, texts_from(value), "assigning BPE.vocab");
          },
          nb::for_setter(nb::sig("def vocab(self, arg: collections.abc.Sequence[str], /) -> None")))
      .def_prop_rw(
          "merge_rank", [](const BpeObject& self) { return self.model.merge_rank; },
          [](BpeObject& self, nb::handle value) {
            assign_member(self, &BPE::merge_rank, ranks_from(value), "assigning BPE.merge_rank");
          },
          nb::for_setter(
              nb::sig("def merge_rank(self, arg: collections.abc.Mapping[int, int], /) -> None")))
      .def_prop_rw(
          "token_to_id", [](const BpeObject& self) { return self.model.token_to_id; },
          [](BpeObject& self, nb::handle value) {
            assign_member(self, &BPE::token_to_id, token_ids_from(value),
                          "assigning BPE.token_to_id");
          },
          nb::for_setter(
              nb::sig("def token_to_id(self, arg: collections.abc.Mapping[str, int], /) -> None")));
}
