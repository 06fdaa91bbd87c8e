#include <iostream>

#include "model/bpe.h"

std::string BPE::decode(const std::vector<uint16_t>& ids) const {
  if (vocab.empty()) {
    std::cerr << "[BPE::decode] model isn't trained yet!\n";
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
