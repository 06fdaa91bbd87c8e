#include <cstring>
#include <iostream>

#include "common/messages.h"
#include "model/bpe.h"

std::string BPE::decode(const std::vector<uint16_t>& ids) const {
  Interrupt never;
  return decode(ids, never);
}

std::string BPE::decode(const std::vector<uint16_t>& ids, Interrupt& interrupt) const {
  if (vocab.empty()) {
    std::cerr << message::kDecodeUntrained;
    return {};
  }
  constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD: the id names no token
  constexpr size_t kReplacementSize = sizeof(kReplacement) - 1;
  // Sized first, then filled by copies: no reallocation and no per-token size checks.
  size_t size = 0;
  for_each_block(ids, interrupt, [&](uint16_t id) {
    size += id < vocab.size() ? vocab[id].size() + 1 : kReplacementSize;
  });
  std::string text(size, '\0');
  char* out = text.data();
  for_each_block(ids, interrupt, [&](uint16_t id) {
    if (id < vocab.size()) {
      const std::string& token = vocab[id];
      std::memcpy(out, token.data(), token.size());
      out += token.size();
      *out++ = ' ';
    } else {
      std::memcpy(out, kReplacement, kReplacementSize);
      out += kReplacementSize;
    }
  });
  return text;
}
