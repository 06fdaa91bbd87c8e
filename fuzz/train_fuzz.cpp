// BPE::train on arbitrary code-unit sequences with arbitrary vocab_size, on fresh models and on
// models that already hold tables.
//
// A run that completes must give exactly the tables of the recounting reference trainer, empty
// and release the caller's sequence, draw one bar per merge and satisfy the model invariant on
// its own terms (checked directly, not only through the reference). A refused or failed run
// must leave all four members and the sequence as they were.

#include <utf8.h>
#include <algorithm>
#include <cstdint>
#include <sstream>
#include <unordered_set>

#include "fuzz_support.h"
#include "model_gen.h"
#include "oracles.h"

namespace {

std::vector<uint16_t> units_from(fuzz::Input& in) {
  // Small alphabets give long merge chains; raw units reach the surrogate range, 0xFFFF and
  // the whitespace units, which the trainer treats as ordinary symbols.
  static const uint16_t alphabet[] = {0,    'a',    'b',    'c', 0x120,  'a',  'b',  0,
                                      0xE9, 0x4E2D, 0xF600, 'a', 0xFFFF, 0x20, 0x09, 0xD800};
  const uint8_t kind = in.byte() % 4;
  std::vector<uint16_t> units;
  while (!in.empty()) {
    switch (kind) {
      case 0:
        units.push_back(in.u16());
        break;
      case 1:
        units.push_back(alphabet[in.byte() % 16]);
        break;
      default: {
        // Two letters and the boundary, with rare other symbols.
        const uint8_t b = in.byte();
        units.push_back(b < 250 ? alphabet[b % 3] : alphabet[b % 16]);
      }
    }
  }
  return units;
}

int vocab_size_from(fuzz::Input& in, size_t max_useful) {
  switch (in.below(10)) {
    case 0:
      return static_cast<int>(in.u32());
    case 1:
      return 65535;
    case 2:
      return 65536;
    case 3:
      return -1;
    case 4:
      return 0;
    default:
      return static_cast<int>(in.below(max_useful + 8));
  }
}

// The invariant checked from the tables alone.
void check_invariant(const BPE& model, const oracle::Trained& ref) {
  const size_t n = ref.initial_symbols;
  const size_t merges = model.vocab.size() - n;
  FUZZ_CHECK(model.merge_rank.size() == merges, "merge_rank holds entries that name no merge");
  std::vector<bool> seen(merges, false);
  for (const auto& [key, rank] : model.merge_rank) {
    FUZZ_CHECK(rank < merges && !seen[rank], "ranks are not 0..m-1");
    seen[rank] = true;
    const size_t left = key >> 16, right = key & 0xFFFF;
    FUZZ_CHECK(left < n + rank && right < n + rank, "a merge uses a token made later");
    const std::string joined = model.vocab[left] + model.vocab[right];
    FUZZ_CHECK(model.vocab[n + rank] == joined, "the token of a merge is not its pair joined");
    FUZZ_CHECK(model.token_to_id.count(joined), "a merged text is missing from token_to_id");
  }
  std::unordered_set<std::string> texts(model.vocab.begin(), model.vocab.end());
  FUZZ_CHECK(model.token_to_id.size() == texts.size(), "token_to_id has texts not in vocab");
  for (size_t id = 0; id < model.vocab.size(); ++id) {
    const auto found = model.token_to_id.find(model.vocab[id]);
    FUZZ_CHECK(found != model.token_to_id.end(), "a vocab text is missing from token_to_id");
    FUZZ_CHECK(found->second < model.vocab.size(), "token_to_id holds an id outside vocab");
    FUZZ_CHECK(found->second >= id && model.vocab[found->second] == model.vocab[id],
               "token_to_id does not give the highest id of a text");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t prior = in.byte() % 4;
  BPE model(0);
  if (prior == 1) model = fuzz::arbitrary_model(in);
  if (prior == 2) model = fuzz::consistent_model(in);
  const int vocab_size = vocab_size_from(in, size);
  std::vector<uint16_t> units = units_from(in);
  model.vocab_size = vocab_size;
  const BPE before = model;
  const std::vector<uint16_t> units_before = units;

  std::ostringstream want_err;
  std::optional<oracle::Trained> want;
  const fuzz::Thrown want_thrown = fuzz::capture_throw(
      [&] { want = oracle::recount_train(units_before, vocab_size, want_err); });

  std::string out, err;
  fuzz::Thrown thrown;
  {
    fuzz::CaptureConsole console;
    thrown = fuzz::capture_throw([&] { model.train(units); });
    out = console.take_out();
    err = console.take_err();
  }
  const std::string context =
      " vocab_size=" + std::to_string(vocab_size) + " units=" + fuzz::join(units_before);
  FUZZ_CHECK(thrown == want_thrown, "train threw " + thrown.describe() + ", the reference " +
                                        want_thrown.describe() + context);
  FUZZ_CHECK(err == want_err.str(), "diagnostics [" + fuzz::clip(err) + "] vs [" +
                                        fuzz::clip(want_err.str()) + "]" + context);

  if (!thrown.type.empty() || !want) {
    // Refused or failed: nothing changes, nothing is drawn.
    FUZZ_CHECK(fuzz::same_model(model, before),
               "a refused or failed run changed the model" + context);
    FUZZ_CHECK(units == units_before, "a refused or failed run changed the sequence" + context);
    FUZZ_CHECK(out.empty(), "a refused or failed run wrote [" + fuzz::clip(out) + "]" + context);
    return 0;
  }

  FUZZ_CHECK(model.vocab_size == vocab_size, "training changed vocab_size");
  FUZZ_CHECK(units.empty() && units.capacity() == 0, "the sequence was not emptied and released");
  FUZZ_CHECK(model.vocab == want->vocab, "vocab differs from the recounting trainer" + context);
  FUZZ_CHECK(model.merge_rank == want->merge_rank,
             "merge_rank differs from the recounting trainer" + context);
  FUZZ_CHECK(model.token_to_id == want->token_to_id,
             "token_to_id differs from the recounting trainer" + context);
  check_invariant(model, *want);
  const size_t merges = model.vocab.size() - want->initial_symbols;
  FUZZ_CHECK(std::count(out.begin(), out.end(), '\r') == static_cast<long>(merges) &&
                 !out.empty() && out.back() == '\n' &&
                 std::count(out.begin(), out.end(), '\n') == 1,
             "not one bar per merge and one line end: [" + fuzz::clip(out) + "]");

  // A trained model encodes its own training text as the rescan does, without an error.
  if (units_before.size() <= 400) {
    std::string text;
    for (uint16_t u : units_before) {
      if (u >= 0xD800 && u <= 0xDFFF) continue;
      utf8::append(u == 0 ? 0x20u : u == 0x20 ? 0x120u : uint32_t{u}, std::back_inserter(text));
    }
    std::vector<uint16_t> got, expected;
    std::ostringstream ignored;
    fuzz::CaptureConsole quiet;
    const fuzz::Thrown enc = fuzz::capture_throw([&] { got = model.encode(text); });
    const fuzz::Thrown ref =
        fuzz::capture_throw([&] { expected = oracle::rescan_encode(model, text, ignored); });
    FUZZ_CHECK(enc.type.empty() && ref.type.empty(),
               "a trained model failed to encode: " + enc.describe());
    FUZZ_CHECK(got == expected, "encode with a trained model differs from the rescan" + context);
  }
  return 0;
}
