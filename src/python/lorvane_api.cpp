#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unordered_map.h>
#include <nanobind/stl/vector.h>
#include <memory>

#include "common/interrupt.h"
#include "model/bpe.h"
#include "model/encoder.h"
#include "python/decode_table.h"
#include "python/id_objects.h"

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

// Takes a new reference from the C API; null means it raised, and its error is raised again.
template <class T>
T owned(PyObject* object) {
  if (object == nullptr) throw nb::python_error();
  return nb::steal<T>(object);
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

// The Python object: a model and the encoding and decoding data derived from its tables. Python
// can change the tables only through the setters below and training, and each of them drops the
// derived data, so it is never stale; the next encode or decode derives it again. (vocab_size plays
// no part in encoding.) The object is never copied or moved: the Encoder's reference stays valid.
// The ints of encoded ids depend on no table and are kept for the object's life.
struct Model {
  BPE bpe;
  std::unique_ptr<Encoder> encoder;
  std::unique_ptr<DecodeTable> decode_table;
  IdObjects id_objects;

  explicit Model(int vocab_size) : bpe(vocab_size) {}
  Encoder& encoding() {
    if (!encoder) encoder = std::make_unique<Encoder>(bpe);
    return *encoder;
  }
  const DecodeTable& decoding() {
    if (!decode_table) decode_table = std::make_unique<DecodeTable>(bpe.vocab);
    return *decode_table;
  }
  void tables_changed() {
    encoder.reset();
    decode_table.reset();
  }
};

}  // namespace

NB_MODULE(lorvane_api, m) {
  m.doc() = "Lorvane BPE tokenizer API";
  nb::class_<Model>(m, "BPE")
      .def(nb::init<int>(), nb::arg("vocab_size"))
      .def(
          "train_fromfile",
          [](Model& model, const std::string& filepath, unsigned long buffer_size) {
            Interrupt interrupt = python_interrupt();
            model.tables_changed();
            model.bpe.train_fromfile(filepath, buffer_size, interrupt);
          },
          nb::arg("filepath"), nb::arg("buffer_size"))
      .def(
          "encode",
          [](Model& model, const std::string& text) {
            Interrupt interrupt = python_interrupt();
            const std::vector<uint16_t> ids = model.bpe.vocab.empty()
                                                  ? model.bpe.encode(text, interrupt)
                                                  : model.encoding().encode(text, interrupt);
            return owned<nb::typed<nb::list, int>>(model.id_objects.list(ids));
          },
          nb::arg("text"))
      .def(
          "decode",
          [](Model& model, nb::handle ids) {
            std::vector<uint16_t> values;
            if (!read_plain_ids(ids.ptr(), values)) {
              values = convert_or_refuse<std::vector<uint16_t>>(stable(ids));
            }
            // The untrained diagnostic and tokens that are not valid UTF-8 alone take the core's
            // joined bytes.
            PyObject* text = nullptr;
            if (model.bpe.vocab.empty() || !model.decoding().decode(values, text)) {
              text = str_of(model.bpe.decode(values));
            }
            return owned<nb::str>(text);
          },
          nb::arg("ids"), nb::sig("def decode(self, ids: collections.abc.Sequence[int]) -> str"))
      .def_prop_rw(
          "vocab_size", [](const Model& model) { return model.bpe.vocab_size; },
          [](Model& model, int vocab_size) { model.bpe.vocab_size = vocab_size; },
          nb::for_setter(nb::sig("def vocab_size(self, arg: int, /) -> None")))
      .def_prop_rw(
          "vocab", [](const Model& model) { return model.bpe.vocab; },
          [](Model& model, nb::handle value) {
            model.tables_changed();
            model.bpe.vocab = convert_or_refuse<std::vector<std::string>>(stable(value));
          },
          nb::for_setter(nb::sig("def vocab(self, arg: collections.abc.Sequence[str], /) -> None")))
      .def_prop_rw(
          "merge_rank", [](const Model& model) { return model.bpe.merge_rank; },
          [](Model& model, nb::handle value) {
            model.tables_changed();
            model.bpe.merge_rank = mapping_from<std::unordered_map<uint32_t, uint32_t>>(value);
          },
          nb::for_setter(
              nb::sig("def merge_rank(self, arg: collections.abc.Mapping[int, int], /) -> None")))
      .def_prop_rw(
          "token_to_id", [](const Model& model) { return model.bpe.token_to_id; },
          [](Model& model, nb::handle value) {
            model.tables_changed();
            model.bpe.token_to_id = mapping_from<std::unordered_map<std::string, uint32_t>>(value);
          },
          nb::for_setter(
              nb::sig("def token_to_id(self, arg: collections.abc.Mapping[str, int], /) -> None")));
}
