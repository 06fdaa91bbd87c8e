#include "oracles.h"

#include "../tests/cpp/console_text.h"

#include <utf8.h>
#include <algorithm>
#include <iomanip>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <utility>

namespace oracle {

namespace {

uint32_t key_of(uint16_t left, uint16_t right) {
  return (uint32_t{left} << 16) | right;
}

std::string utf8_of(uint16_t unit) {
  std::string text;
  utf8::append(static_cast<uint32_t>(unit), std::back_inserter(text));
  return text;
}

bool is_whitespace(uint16_t unit) {
  return unit == 0x09 || unit == 0x0A || unit == 0x0D || unit == 0x20;
}

}  // namespace

// The initial ids of a text, or an empty vector after writing the diagnostic.
std::vector<uint16_t> initial_ids(const BPE& model, const std::string& text, std::ostream& err) {
  if (model.vocab.empty()) {
    err << expected::kEncodeUntrained;
    return {};
  }
  std::vector<uint32_t> code_points;
  utf8::utf8to32(text.begin(), text.end(), std::back_inserter(code_points));
  if (code_points.empty()) {
    err << expected::kEncodeEmpty;
    return {};
  }
  std::vector<uint16_t> ids;
  for (uint32_t cp : code_points) {
    auto unit = static_cast<uint16_t>(cp);
    if (unit == 0x20) unit = 0x120;
    const auto found = model.token_to_id.find(utf8_of(unit));
    if (found != model.token_to_id.end()) ids.push_back(static_cast<uint16_t>(found->second));
  }
  if (ids.empty()) err << expected::kEncodeEmpty;
  return ids;
}

std::string joined_text(const BPE& model, uint16_t left, uint16_t right) {
  return model.vocab.at(left) + model.vocab.at(right);
}

std::vector<uint16_t> rescan_encode(const BPE& model, const std::string& text, std::ostream& err) {
  std::vector<uint16_t> ids = initial_ids(model, text, err);
  while (ids.size() >= 2) {
    uint32_t best_rank = 0xFFFFFFFF;
    std::optional<size_t> best;
    for (size_t i = 0; i + 1 < ids.size(); ++i) {
      const auto found = model.merge_rank.find(key_of(ids[i], ids[i + 1]));
      if (found != model.merge_rank.end() && found->second < best_rank) {
        best_rank = found->second;
        best = i;
      }
    }
    if (!best) break;
    const size_t i = *best;
    ids[i] = static_cast<uint16_t>(model.token_to_id.at(joined_text(model, ids[i], ids[i + 1])));
    ids.erase(ids.begin() + static_cast<std::ptrdiff_t>(i) + 1);
  }
  return ids;
}

std::vector<uint16_t> ordered_encode(const BPE& model, const std::string& text, std::ostream& err) {
  std::vector<uint16_t> ids = initial_ids(model, text, err);
  const size_t n = ids.size();
  constexpr size_t kNone = SIZE_MAX;
  constexpr uint32_t kUnranked = 0xFFFFFFFF;
  std::vector<size_t> next(n), prev(n);
  std::vector<uint32_t> rank(n, kUnranked);  // rank of the pair starting at each live position
  std::set<std::pair<uint32_t, size_t>> ranked;
  auto rerank = [&](size_t pos) {
    if (rank[pos] != kUnranked) ranked.erase({rank[pos], pos});
    rank[pos] = kUnranked;
    if (next[pos] == kNone) return;
    const auto found = model.merge_rank.find(key_of(ids[pos], ids[next[pos]]));
    if (found != model.merge_rank.end() && found->second != kUnranked) {
      rank[pos] = found->second;
      ranked.insert({rank[pos], pos});
    }
  };
  for (size_t i = 0; i < n; ++i) {
    prev[i] = i == 0 ? kNone : i - 1;
    next[i] = i + 1 == n ? kNone : i + 1;
  }
  for (size_t i = 0; i < n; ++i) rerank(i);
  while (!ranked.empty()) {
    const size_t pos = ranked.begin()->second;
    const size_t right = next[pos];
    ids[pos] =
        static_cast<uint16_t>(model.token_to_id.at(joined_text(model, ids[pos], ids[right])));
    if (rank[right] != kUnranked) ranked.erase({rank[right], right});
    rank[right] = kUnranked;
    next[pos] = next[right];
    if (next[right] != kNone) prev[next[right]] = pos;
    rerank(pos);
    if (prev[pos] != kNone) rerank(prev[pos]);
  }
  std::vector<uint16_t> out;
  for (size_t i = n ? 0 : kNone; i != kNone; i = next[i]) out.push_back(ids[i]);
  return out;
}

std::string plain_decode(const BPE& model, const std::vector<uint16_t>& ids, std::ostream& err) {
  if (model.vocab.empty()) {
    err << expected::kDecodeUntrained;
    return {};
  }
  std::string text;
  for (uint16_t id : ids) {
    if (id < model.vocab.size()) {
      text += model.vocab[id];
      text += ' ';
    } else {
      text += "\xEF\xBF\xBD";
    }
  }
  return text;
}

void whole_buffer_units(const std::string& bytes, std::vector<uint16_t>& units) {
  auto it = bytes.begin();
  while (it != bytes.end()) {
    const auto unit = static_cast<uint16_t>(utf8::next(it, bytes.end()));
    if (is_whitespace(unit)) {
      units.push_back(0x0000);
      units.push_back(0x0120);
    } else {
      units.push_back(unit);
    }
  }
  units.push_back(0x0000);
}

std::string final_reading_bar(uint64_t size, uint64_t tokens) {
  // Files under a mebibyte: the only bar drawn is the final one, at 100 % (0 % when empty).
  const bool empty = size == 0;
  std::ostringstream s;
  s << "\rPre-Tokenizing  | [" << (empty ? ">" + std::string(49, ' ') : std::string(50, '='))
    << "] " << std::setw(3) << (empty ? 0 : 100) << "% (" << size / 1048576 << "/" << size / 1048576
    << " MB) Tokens: " << tokens;
  return s.str();
}

std::optional<Trained> recount_train(const std::vector<uint16_t>& units, int vocab_size,
                                     std::ostream& err) {
  std::set<uint16_t> alphabet;
  for (uint16_t u : units) {
    if (u != 0) alphabet.insert(u);
  }
  if (static_cast<uint64_t>(static_cast<int64_t>(vocab_size)) < alphabet.size()) {
    err << expected::vocab_too_small(vocab_size);
    return std::nullopt;
  }
  if (static_cast<uint32_t>(vocab_size) > 65535) {
    err << expected::kVocabTooLarge;
    return std::nullopt;
  }
  Trained out;
  std::map<uint16_t, uint16_t> initial_id;
  for (uint16_t u : alphabet) {
    initial_id[u] = static_cast<uint16_t>(out.vocab.size());
    out.vocab.push_back(utf8_of(u));  // throws for a surrogate-range unit
  }
  out.initial_symbols = out.vocab.size();

  std::vector<std::vector<uint16_t>> words(1);
  for (uint16_t u : units) {
    if (u == 0) {
      if (!words.back().empty()) words.emplace_back();
    } else {
      words.back().push_back(initial_id[u]);
    }
  }

  std::vector<uint32_t> keys;
  for (uint32_t rank = 0; out.vocab.size() < static_cast<uint32_t>(vocab_size); ++rank) {
    keys.clear();
    for (const auto& word : words) {
      for (size_t i = 0; i + 1 < word.size(); ++i) keys.push_back(key_of(word[i], word[i + 1]));
    }
    if (keys.empty()) break;
    std::sort(keys.begin(), keys.end());
    uint32_t best_key = 0;
    size_t best_count = 0;
    for (size_t i = 0; i < keys.size();) {
      size_t j = i;
      while (j < keys.size() && keys[j] == keys[i]) ++j;
      if (j - i > best_count) {  // ascending keys: the first of a tie is the smallest
        best_count = j - i;
        best_key = keys[i];
      }
      i = j;
    }
    const auto left = static_cast<uint16_t>(best_key >> 16);
    const auto right = static_cast<uint16_t>(best_key & 0xFFFF);
    const auto new_id = static_cast<uint16_t>(out.vocab.size());
    out.merge_rank[best_key] = rank;
    out.vocab.push_back(out.vocab[left] + out.vocab[right]);
    for (auto& word : words) {
      std::vector<uint16_t> merged;
      for (size_t i = 0; i < word.size(); ++i) {
        if (i + 1 < word.size() && word[i] == left && word[i + 1] == right) {
          merged.push_back(new_id);
          ++i;
        } else {
          merged.push_back(word[i]);
        }
      }
      word.swap(merged);
    }
  }
  for (size_t id = 0; id < out.vocab.size(); ++id)
    out.token_to_id[out.vocab[id]] = static_cast<uint32_t>(id);
  return out;
}

}  // namespace oracle
