#include <utf8.h>
#include <array>
#include <iostream>
#include <stdexcept>

#include "model/bpe.h"
#include "model/merger.h"

namespace {

constexpr uint16_t kSpace = 0x0020;
constexpr uint16_t kSpaceMarker = 0x0120;

// Code units of a UTF-8 text: each code point cut to its low 16 bits. Throws utfcpp's errors.
std::vector<uint16_t> utf8_to_units(const std::string& text) {
  std::vector<uint16_t> units;
  units.reserve(text.size());
  auto it = text.begin();
  const auto end = text.end();
  while (it != end) {
    const auto byte = static_cast<unsigned char>(*it);
    if (byte < 0x80) {  // the checked decoder gives the same for a one-byte sequence
      units.push_back(byte);
      ++it;
    } else {
      units.push_back(static_cast<uint16_t>(utf8::next(it, end)));
    }
  }
  return units;
}

// Initial ids: each unit looked up as its UTF-8 text; unknown characters are dropped.
std::vector<uint16_t> initial_ids(const std::vector<uint16_t>& units,
                                  const std::unordered_map<std::string, uint32_t>& token_to_id) {
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
  if (vocab.empty()) {
    std::cerr << "[BPE::encode] model isnt trained yet !\n";
    return {};
  }
  const std::vector<uint16_t> units = utf8_to_units(text);
  std::vector<uint16_t> ids =
      units.empty() ? std::vector<uint16_t>{} : initial_ids(units, token_to_id);
  if (ids.empty()) {
    std::cerr << "[error] empty \n";
    return {};
  }
  if (ids.size() > static_cast<size_t>(INT32_MAX)) {
    throw std::length_error("encode: more than 2^31 - 1 characters in one text");
  }
  apply_merges(ids, *this);
  return ids;
}
