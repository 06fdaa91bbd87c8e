#include <algorithm>
#include <bitset>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "model/merger.h"
#include "model/word_table.h"

// Long texts are merged word by word. A word starts at each id of the space marker. If no ranked
// pair has, as its right side, an id that a word's first node can ever take (the marker's id,
// then any id a ranked merge makes from such an id on the left), then that node is never
// absorbed and the pair across the word start never merges: every word evolves on its own, and
// the whole result is the words' results side by side. Real text repeats its words, so each
// distinct word is merged once and then copied from a cache. When the tables do not allow the
// split, or any merge fails, the whole sequence is merged at once instead, so the
// result and any error are exactly those of merging the whole text.

namespace {

constexpr size_t kMinIdsForWords = 16384;  // below this, the check costs more than it saves

// True when no ranked pair can join the last node of one word to the first node of the next.
bool words_merge_apart(const BPE& model, uint16_t marker, Merger<FlatRanks>& merger) {
  std::vector<uint32_t> ranked;  // keys sorted, so the pairs of one left id are adjacent
  ranked.reserve(model.merge_rank.size());
  for (const auto& [key, rank] : model.merge_rank) {
    if (rank != kNoRank) ranked.push_back(key);
  }
  std::sort(ranked.begin(), ranked.end());
  auto first_ids = std::make_unique<std::bitset<65536>>();  // ids a word's first node can take
  std::vector<uint16_t> pending{marker};
  first_ids->set(marker);
  while (!pending.empty()) {
    const uint16_t left = pending.back();
    pending.pop_back();
    auto it = std::lower_bound(ranked.begin(), ranked.end(), pair_key(left, 0));
    for (; it != ranked.end() && pair_left(*it) == left; ++it) {
      const std::optional<uint16_t> id = merger.joined_id(left, pair_right(*it));
      if (id && !first_ids->test(*id)) {
        first_ids->set(*id);
        pending.push_back(*id);
      }
    }
  }
  return std::none_of(ranked.begin(), ranked.end(),
                      [&](uint32_t key) { return first_ids->test(pair_right(key)); });
}

std::optional<std::vector<uint16_t>> merge_by_words(const std::vector<uint16_t>& ids,
                                                    const BPE& model) {
  const auto marker_entry = model.token_to_id.find("\xC4\xA0");  // U+0120
  if (marker_entry == model.token_to_id.end()) return std::nullopt;
  const auto marker = static_cast<uint16_t>(marker_entry->second);
  Merger merger(model, FlatRanks(model.merge_rank));
  if (!words_merge_apart(model, marker, merger)) return std::nullopt;

  std::vector<uint16_t> out;
  out.reserve(ids.size());
  WordTable words;                       // the distinct words, as initial ids
  std::vector<uint16_t> merged_words;    // their merged ids, back to back
  std::vector<size_t> merged_starts{0};  // word i is merged_words[merged_starts[i], ...[i + 1])
  std::vector<uint16_t> word;
  try {
    for (size_t begin = 0; begin < ids.size();) {
      const size_t end = std::find(ids.begin() + begin + 1, ids.end(), marker) - ids.begin();
      const auto [index, added] = words.intern({ids.data() + begin, end - begin});
      if (added) {
        word.assign(ids.begin() + begin, ids.begin() + end);
        merger.merge(word);
        merged_words.insert(merged_words.end(), word.begin(), word.end());
        merged_starts.push_back(merged_words.size());
      }
      out.insert(out.end(), merged_words.begin() + merged_starts[index],
                 merged_words.begin() + merged_starts[index + 1]);
      begin = end;
    }
  } catch (const std::exception&) {
    return std::nullopt;  // the whole-text merge raises the error at the right merge
  }
  return out;
}

}  // namespace

void apply_merges(std::vector<uint16_t>& ids, const BPE& model) {
  if (ids.size() >= kMinIdsForWords) {
    if (std::optional<std::vector<uint16_t>> by_words = merge_by_words(ids, model)) {
      ids = std::move(*by_words);
      return;
    }
  }
  Merger(model, MapRanks{model.merge_rank}).merge(ids);
}
