#include <utf8.h>
#include <array>
#include <stdexcept>

#include "common/units.h"
#include "model/bpe.h"
#include "model/encoder.h"

namespace {

// Code units of a UTF-8 text: each code point cut to its low 16 bits. Throws utfcpp's errors.
std::vector<uint16_t> utf8_to_units(std::string_view text, Interrupt& interrupt) {
  constexpr size_t kBlock = 1 << 16;  // bytes decoded between two polls
  std::vector<uint16_t> units;
  units.reserve(text.size());
  auto it = text.begin();
  const auto end = text.end();
  while (it != end) {
    const auto block_end = end - it > static_cast<std::ptrdiff_t>(kBlock) ? it + kBlock : end;
    while (it < block_end) units.push_back(next_unit(it, end));
    interrupt.step(kBlock);
  }
  return units;
}

// Initial ids: each unit looked up as its UTF-8 text; unknown characters are dropped.
std::vector<uint16_t> initial_ids(const std::vector<uint16_t>& units,
                                  const std::unordered_map<std::string, uint32_t>& token_to_id,
                                  Interrupt& interrupt) {
  constexpr int32_t kUnseen = -2, kUnknown = -1;
  std::array<int32_t, 128> ascii;  // ASCII dominates real text: look each one up once
  ascii.fill(kUnseen);
  std::string scratch;
  auto lookup = [&](uint16_t unit) -> int32_t {
    scratch.clear();
    utf8::append(unit, std::back_inserter(scratch));
    const auto found = token_to_id.find(scratch);
    return found == token_to_id.end() ? kUnknown : static_cast<uint16_t>(found->second);
  };
  std::vector<uint16_t> ids;
  ids.reserve(units.size());
  for (uint16_t unit : units) {
    interrupt.step();
    if (unit == kSpace) unit = kSpaceMarker;
    int32_t id;
    if (unit < ascii.size()) {
      if (ascii[unit] == kUnseen) ascii[unit] = lookup(unit);
      id = ascii[unit];
    } else {
      id = lookup(unit);
    }
    if (id != kUnknown) ids.push_back(static_cast<uint16_t>(id));
  }
  return ids;
}

}  // namespace

std::vector<uint16_t> BPE::encode(const std::string& text) const {
  Interrupt never;
  return encode(text, never);
}

std::vector<uint16_t> BPE::encode(std::string_view text, Interrupt& interrupt) const {
  constexpr size_t kMinBytesForEncoder = 4096;  // below this, deriving costs more than it saves
  if (text.size() >= kMinBytesForEncoder && !vocab.empty()) {
    return Encoder(*this).encode(text, interrupt);
  }
  return encode_steps(
      *this,
      [&] {
        const std::vector<uint16_t> units = utf8_to_units(text, interrupt);
        return units.empty() ? std::vector<uint16_t>{} : initial_ids(units, token_to_id, interrupt);
      },
      [&](std::vector<uint16_t>& ids) { apply_merges(ids, *this, interrupt); });
}
