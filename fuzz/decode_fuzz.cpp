// Decoding arbitrary ids with arbitrary vocabularies (empty texts, non-UTF-8 bytes, an empty
// vocab) against the plain definition; the model must be unchanged.

#include <cstdint>
#include <sstream>

#include "fuzz_support.h"
#include "model_gen.h"
#include "oracles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  BPE model(static_cast<int>(in.u16()));
  const size_t n = in.below(4) == 0 ? in.below(300) : in.below(12);
  for (size_t i = 0; i < n; ++i) model.vocab.push_back(fuzz::atom_text(in, 3, fuzz::atoms()));
  if (in.flag()) model.token_to_id[fuzz::atom_text(in, 2, fuzz::atoms())] = in.u32();
  std::vector<uint16_t> ids;
  while (!in.empty()) {
    // Mostly ids near the vocabulary's end, where off-by-one faults live; sometimes any id.
    ids.push_back(in.flag() ? in.u16() : static_cast<uint16_t>(in.below(n + 3)));
  }
  const BPE before = model;

  std::string got, got_err, got_out;
  fuzz::Thrown thrown;
  {
    fuzz::CaptureConsole console;
    thrown = fuzz::capture_throw([&] { got = model.decode(ids); });
    got_err = console.take_err();
    got_out = console.take_out();
  }
  std::ostringstream want_err;
  const std::string want = oracle::plain_decode(before, ids, want_err);
  FUZZ_CHECK(thrown.type.empty(), "decode threw " + thrown.describe());
  FUZZ_CHECK(got == want,
             "text [" + fuzz::hex(got) + "] vs [" + fuzz::hex(want) + "] ids=" + fuzz::join(ids));
  FUZZ_CHECK(got_err == want_err.str(), "diagnostic [" + got_err + "]");
  FUZZ_CHECK(got_out.empty(), "decode wrote to standard output");
  FUZZ_CHECK(fuzz::same_model(model, before), "decode changed the model");
  return 0;
}
