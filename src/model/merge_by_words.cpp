#include <algorithm>
#include <bitset>
#include <memory>
#include <optional>
#include <stdexcept>

#include "common/pair_key.h"
#include "common/units.h"
#include "common/word_table.h"
#include "model/merger.h"

// Long texts are merged word by word. A word starts at each id of the space marker; real text
// repeats its words, so each distinct word is merged once and then copied from a cache. Merging
// words apart gives the result of merging the whole text exactly when no pair across a word start
// ever merges. Such a pair's right side is the first node of a word, and while no such pair has
// merged, each word goes through the same states as when merged alone (the text's lowest-ranked
// pair, when it lies in a word, is that word's lowest-ranked pair). So it suffices that no ranked
// pair has as its right side any id that a word's first node takes while its word is merged
// alone: those ids are collected during the word merges and checked afterwards. When the check
// fails, or any merge fails, the whole sequence is merged at once instead, so the result and any
// error are exactly those of merging the whole text.

namespace {

constexpr size_t kMinIdsForWords =
    4096;  // below this, building the flat ranks costs more than it saves

using IdSet = std::bitset<65536>;

// The right side of every ranked pair: the ids a merge can absorb into their left neighbour.
std::unique_ptr<IdSet> absorbable_ids(const BPE& model) {
  auto ids = std::make_unique<IdSet>();
  for (const auto& [key, rank] : model.merge_rank) {
    if (rank != kNoRank) ids->set(pair_right(key));
  }
  return ids;
}

std::optional<std::vector<uint16_t>> merge_by_words(const std::vector<uint16_t>& ids,
                                                    const BPE& model, Interrupt& interrupt) {
  const auto marker_entry = model.token_to_id.find(kSpaceMarkerText);
  if (marker_entry == model.token_to_id.end()) return std::nullopt;
  const auto marker = static_cast<uint16_t>(marker_entry->second);
  const std::unique_ptr<IdSet> absorbable = absorbable_ids(model);
  if (absorbable->test(marker)) return std::nullopt;
  Merger merger(model, FlatRanks(model.merge_rank), interrupt);
  auto first_ids = std::make_unique<IdSet>();  // ids the first node of a word takes

  std::vector<uint16_t> out;
  out.reserve(ids.size());
  WordTable words;                       // the distinct words, as initial ids
  std::vector<uint16_t> merged_words;    // their merged ids, back to back
  std::vector<size_t> merged_starts{0};  // word i is merged_words[merged_starts[i], ...[i + 1])
  std::vector<uint16_t> word;
  try {
    for (size_t begin = 0; begin < ids.size();) {
      const size_t end = std::find(ids.begin() + begin + 1, ids.end(), marker) - ids.begin();
      interrupt.step(end - begin);
      const auto [index, added] = words.intern({ids.data() + begin, end - begin});
      if (added) {
        word.assign(ids.begin() + begin, ids.begin() + end);
        merger.merge(word, ids[begin] == marker ? first_ids.get() : nullptr);
        merged_words.insert(merged_words.end(), word.begin(), word.end());
        merged_starts.push_back(merged_words.size());
      }
      out.insert(out.end(), merged_words.begin() + merged_starts[index],
                 merged_words.begin() + merged_starts[index + 1]);
      begin = end;
    }
  } catch (const std::out_of_range&) {
    return std::nullopt;  // the whole-text merge raises the error at the right merge
  }  // anything else (an interrupt above all) must pass: it is not the merge's to judge
  if ((*first_ids & *absorbable).any()) return std::nullopt;  // a word start could be absorbed
  return out;
}

}  // namespace

void apply_merges(std::vector<uint16_t>& ids, const BPE& model, Interrupt& interrupt) {
  if (ids.size() >= kMinIdsForWords) {
    if (std::optional<std::vector<uint16_t>> by_words = merge_by_words(ids, model, interrupt)) {
      ids = std::move(*by_words);
      return;
    }
  }
  Merger(model, MapRanks{model.merge_rank}, interrupt).merge(ids);
}
