#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unordered_map.h>
#include <nanobind/stl/vector.h>

#include "model/bpe.h"

namespace nb = nanobind;

// The standard casters give the conversions and refusals of the Python surface: integers through
// int(x) for any non-float, texts only from str, sequences other than str and bytes, mappings
// through items(); a refused value raises TypeError before the model is touched.
NB_MODULE(lorvane_api, m) {
  m.doc() = "Lorvane BPE tokenizer API";
  nb::class_<BPE>(m, "BPE")
      .def(nb::init<int>(), nb::arg("vocab_size"))
      .def("train_fromfile", &BPE::train_fromfile, nb::arg("filepath"), nb::arg("buffer_size"))
      .def("encode", &BPE::encode, nb::arg("text"))
      .def("decode", &BPE::decode, nb::arg("ids"))
      .def_rw("vocab_size", &BPE::vocab_size)
      .def_rw("vocab", &BPE::vocab)
      .def_rw("merge_rank", &BPE::merge_rank)
      .def_rw("token_to_id", &BPE::token_to_id);
}
