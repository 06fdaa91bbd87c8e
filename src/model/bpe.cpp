#include "model/bpe.h"

#include <cstring>
#include <iostream>

#include "common/messages.h"
#include "model/encoder.h"

BPE::BPE(int vocab_size) : vocab_size(vocab_size) {}

std::vector<uint16_t> BPE::encode(const std::string& text) const {
  Interrupt never;
  return encode(text, never);
}

std::vector<uint16_t> BPE::encode(std::string_view text, Interrupt& interrupt) const {
  return Encoder::encode_once(*this, text, interrupt);
}

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
  in_blocks(ids.size(), interrupt, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      size += ids[i] < vocab.size() ? vocab[ids[i]].size() + 1 : kReplacementSize;
    }
  });
  std::string text(size, '\0');
  char* out = text.data();
  in_blocks(ids.size(), interrupt, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      if (ids[i] < vocab.size()) {
        const std::string& token = vocab[ids[i]];
        std::memcpy(out, token.data(), token.size());
        out += token.size();
        *out++ = ' ';
      } else {
        std::memcpy(out, kReplacement, kReplacementSize);
        out += kReplacementSize;
      }
    }
  });
  return text;
}
