#include <utf8.h>

#include <array>
#include <string>

#include "model/bpe.h"
#include "model/encoder.h"
#include "model/initial_ids.h"
#include "model/merger.h"

namespace {

// Initial ids looked up in `token_to_id` unit by unit, each ASCII one once: for texts too short
// to pay for an Encoder's table of all 65,536 units.
class TokenLookup {
 public:
  explicit TokenLookup(const std::unordered_map<std::string, uint32_t>& token_to_id)
      : token_to_id_(token_to_id) {
    ascii_.fill(kNotLookedUp);
  }
  int32_t operator()(uint16_t unit) {
    if (unit >= ascii_.size()) return look_up(unit);
    if (ascii_[unit] == kNotLookedUp) ascii_[unit] = look_up(unit);
    return ascii_[unit];
  }

 private:
  static constexpr int32_t kNotLookedUp = kSurrogate - 1;  // beside the lookup's own sentinels

  int32_t look_up(uint16_t unit) {
    if (unit >= 0xD800 && unit < 0xE000) return kSurrogate;
    text_.clear();
    utf8::append(as_read(unit), std::back_inserter(text_));
    const auto found = token_to_id_.find(text_);
    return found == token_to_id_.end() ? kDropped : static_cast<uint16_t>(found->second);
  }

  const std::unordered_map<std::string, uint32_t>& token_to_id_;
  std::array<int32_t, 128> ascii_;  // ASCII dominates real text
  std::string text_;
};

}  // namespace

std::vector<uint16_t> BPE::encode(const std::string& text) const {
  Interrupt never;
  return encode(text, never);
}

std::vector<uint16_t> BPE::encode(std::string_view text, Interrupt& interrupt) const {
  // A text has at most as many ids as bytes: a long one pays for an Encoder of its own.
  if (text.size() >= kMinIdsForEncoder && !vocab.empty()) {
    return Encoder(*this).encode(text, interrupt);
  }
  TokenLookup lookup(token_to_id);
  return encode_steps(
      *this, [&] { return initial_ids(text, lookup, interrupt); },
      [&](std::vector<uint16_t>& ids) {
        Merger(*this, MapRanks{merge_rank}).merge(ids, interrupt);
      });
}
