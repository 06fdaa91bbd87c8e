#include <iostream>

#include "common/messages.h"
#include "model/bpe.h"

std::string BPE::decode(const std::vector<uint16_t>& ids) const {
  if (vocab.empty()) {
    std::cerr << message::kDecodeUntrained;
    return {};
  }
  std::string text;
  for (uint16_t id : ids) {
    if (id < vocab.size()) {
      text += vocab[id];
      text += ' ';
    } else {
      text += "\xEF\xBF\xBD";  // U+FFFD: the id names no token
    }
  }
  return text;
}
