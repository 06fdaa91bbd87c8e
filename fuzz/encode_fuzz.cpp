// Encoding on arbitrary text with small models, consistent or arbitrary, against the plain
// rescan: the same ids and diagnostics, or the same exception (type and message) when the text
// or the tables are broken. The model must be unchanged either way.
//
// A sixteenth of the inputs describe a long text instead (a few words repeated past 16384
// characters, where encoding may take another road); the rescan is too slow there, so the
// reference is the ordered-set oracle, which short inputs check against the rescan.

#include <cstdint>
#include <sstream>

#include "fuzz_support.h"
#include "model_gen.h"
#include "oracles.h"

namespace {

std::string text_from(fuzz::Input& in) {
  std::string text;
  const bool raw = in.below(4) == 0;
  while (!in.empty()) {
    if (raw) {
      text += static_cast<char>(in.byte());
    } else {
      const auto& table = fuzz::text_atoms();
      // Mostly pieces that decode cleanly, so the merge loop gets exercised.
      const size_t pick = in.byte();
      text += pick < 224 ? table[pick % 14] : table[pick % table.size()];
    }
  }
  return text;
}

// A few words of atoms, each usually led by a space, repeated in an order the input picks
// until the text holds `min_chars` characters.
std::string long_text_from(fuzz::Input& in, size_t min_chars) {
  std::vector<std::string> words(1 + in.below(6));
  for (auto& word : words) {
    word = in.below(4) ? " " : "";
    for (size_t k = in.below(5); k > 0; --k) word += fuzz::text_atoms()[in.byte() % 14];
  }
  std::string order = in.rest();
  if (order.empty()) order.push_back(0);
  std::string text;
  size_t chars = 0;
  for (size_t i = 0; chars < min_chars; ++i) {
    std::string word = words[static_cast<uint8_t>(order[i % order.size()]) % words.size()];
    if (word.empty()) word = "a";
    text += word;
    for (char c : word) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;  // lead bytes
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t mode = in.byte();
  BPE model = (mode & 3) == 0   ? BPE(5)
              : (mode & 3) == 1 ? fuzz::arbitrary_model(in)
                                : fuzz::consistent_model(in);
  if ((mode & 3) == 3) {
    // A consistent model broken in one place: a stale rank, a missing text or a wrong id.
    switch (in.below(3)) {
      case 0:
        model.merge_rank[in.u32() & 0x000F000F] = static_cast<uint32_t>(in.below(4));
        break;
      case 1:
        if (!model.token_to_id.empty()) {
          auto it = model.token_to_id.begin();
          std::advance(it, static_cast<long>(in.below(model.token_to_id.size())));
          model.token_to_id.erase(it);
        }
        break;
      default:
        if (!model.token_to_id.empty())
          model.token_to_id.begin()->second = fuzz::wild_id(in, model.vocab.size());
    }
  }
  const bool long_text = (mode & 0x3C) == 0;
  const std::string text = long_text ? long_text_from(in, 17000) : text_from(in);
  const BPE before = model;

  std::vector<uint16_t> got, want;
  std::string got_err, got_out;
  fuzz::Thrown got_thrown;
  {
    fuzz::CaptureConsole console;
    got_thrown = fuzz::capture_throw([&] { got = model.encode(text); });
    got_err = console.take_err();
    got_out = console.take_out();
  }
  std::ostringstream want_err;
  const fuzz::Thrown want_thrown = fuzz::capture_throw([&] {
    want = long_text ? oracle::ordered_encode(before, text, want_err)
                     : oracle::rescan_encode(before, text, want_err);
  });
  const std::string context = long_text ? " (long text)" : " text=[" + fuzz::hex(text) + "]";
  if (!long_text) {
    std::vector<uint16_t> ordered;
    std::ostringstream ordered_err;
    const fuzz::Thrown ordered_thrown =
        fuzz::capture_throw([&] { ordered = oracle::ordered_encode(before, text, ordered_err); });
    FUZZ_CHECK(
        ordered_thrown == want_thrown && ordered == want && ordered_err.str() == want_err.str(),
        "the two oracles disagree" + context);
  }

  FUZZ_CHECK(got_thrown == want_thrown, "encode threw " + got_thrown.describe() + ", the rescan " +
                                            want_thrown.describe() + context);
  if (want_thrown.type.empty()) {
    FUZZ_CHECK(got == want, "ids " + fuzz::join(got) + " vs reference " + fuzz::join(want) +
                                fuzz::first_difference(got, want) + context);
    FUZZ_CHECK(got_err == want_err.str(),
               "diagnostic [" + got_err + "] vs [" + want_err.str() + "]" + context);
  } else {
    FUZZ_CHECK(got_err.empty(), "an exception with a diagnostic: " + got_err);
  }
  FUZZ_CHECK(got_out.empty(), "encode wrote to standard output");
  FUZZ_CHECK(fuzz::same_model(model, before), "encode changed the model" + context);
  return 0;
}
