#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/pair_key.h"
#include "common/u32_map.h"
#include "model/bpe.h"

// Design note. The result of encoding is defined by a plain rescan: find the adjacent pair of
// lowest rank (the leftmost on ties), merge it, and scan again from the start. That costs
// n x m lookups and takes hours on a megabyte of text. Here the symbols form a linked list over
// their initial positions and every ranked pair sits in a min-heap ordered by (rank, position of
// its left symbol). Merges keep the left node, so positions stay in text order and the heap's top
// is exactly the pair the rescan would pick. Entries are never removed: a popped entry counts only
// if the pair now at its position still has its rank. Every merge computes the merged id the way
// the rescan does (texts joined, looked up with a checked lookup), so broken tables raise the same
// error at the same merge.

inline constexpr uint32_t kNoRank = 0xFFFFFFFF;  // never merged: a merge needs a lower rank

// A pair's rank, and the id it joins to where that is known (-1 otherwise).
struct RankedPair {
  uint32_t rank = kNoRank;
  int32_t joined = -1;
};

// The ranked entries copied into a flat table, each with room for the id its pair joins to, so
// that one probe finds both.
class FlatRanks {
 public:
  explicit FlatRanks(const std::unordered_map<uint32_t, uint32_t>& ranks) : table_(ranks.size()) {
    for (const auto& [key, rank] : ranks) {
      if (rank != kNoRank) table_[key].rank = rank;  // kNoRank is the same as absent
    }
  }
  RankedPair operator()(uint32_t key) const {
    const RankedPair* entry = table_.find(key);
    return entry ? *entry : RankedPair{};
  }
  // Where the joined id of a ranked pair is kept (-1 until known); nullptr for other pairs.
  int32_t* joined(uint32_t key) {
    RankedPair* entry = table_.find(key);
    return entry ? &entry->joined : nullptr;
  }

 private:
  U32Map<RankedPair> table_;
};

// The ranks read straight from the model's table: nothing is derived, which suits a text too
// short to pay for the flat copy. Joined ids are not remembered: each merge computes its own.
class ModelRanks {
 public:
  explicit ModelRanks(const std::unordered_map<uint32_t, uint32_t>& ranks) : ranks_(ranks) {}
  RankedPair operator()(uint32_t key) const {
    const auto found = ranks_.find(key);
    return found == ranks_.end() ? RankedPair{} : RankedPair{found->second, -1};
  }
  int32_t* joined(uint32_t) { return &(joined_ = -1); }

 private:
  const std::unordered_map<uint32_t, uint32_t>& ranks_;
  int32_t joined_ = -1;
};

// Applies a model's merges to id sequences, with the ranks of `Ranks` (FlatRanks remembers the
// ids of joined pairs it computed).
template <class Ranks = FlatRanks>
class Merger {
 public:
  explicit Merger(const BPE& model) : model_(model), ranks_(model.merge_rank) {}

  // Merges `ids` in place, polling `interrupt` on long ones. Throws std::out_of_range for an id
  // outside `vocab` or a joined text that `token_to_id` lacks, at the same merge as the plain
  // rescan. With `first_ids`, every id the first node takes (the initial one included) is
  // appended to it.
  void merge(std::vector<uint16_t>& ids, Interrupt& interrupt,
             std::vector<uint16_t>* first_ids = nullptr) {
    first_ids_ = first_ids;
    if (first_ids_ && !ids.empty()) first_ids_->push_back(ids[0]);
    if (ids.size() <= kShortRun) {
      scan(ids);
    } else {
      queue(ids, interrupt);
    }
  }

  // Frees the scratch arrays of the heap merge where they hold more than `nodes` nodes.
  void release_scratch(size_t nodes) {
    if (next_.capacity() <= nodes) return;
    next_ = std::vector<int32_t>();
    prev_ = std::vector<int32_t>();
    rank_ = std::vector<RankedPair>();
    heap_ = std::vector<uint64_t>();
  }

 private:
  // Id of the token joining the ranked pair of two ids, or nullopt where joining them fails
  // (an id outside `vocab`, or a joined text that has no id).
  std::optional<uint16_t> joined_id(uint16_t left, uint16_t right) {
    int32_t* const slot = ranks_.joined(pair_key(left, right));
    assert(slot != nullptr);  // only ranked pairs are merged, and every one has its slot
    if (*slot >= 0) return static_cast<uint16_t>(*slot);
    if (left >= model_.vocab.size() || right >= model_.vocab.size()) return std::nullopt;
    const auto found = model_.token_to_id.find(model_.vocab[left] + model_.vocab[right]);
    if (found == model_.token_to_id.end()) return std::nullopt;
    *slot = static_cast<uint16_t>(found->second);
    return static_cast<uint16_t>(found->second);
  }

  // Id of the token joining two ids (`known` where it is not -1), computed as the rescan does: a
  // failure raises the standard out-of-range error of the checked lookup that fails. Inlined
  // into both merge loops, where most calls return `known` at once.
  [[gnu::always_inline]] uint16_t merged_id(uint16_t left, uint16_t right, int32_t known) {
    if (known >= 0) return static_cast<uint16_t>(known);
    if (const std::optional<uint16_t> id = joined_id(left, right)) return *id;
    const std::string joined = model_.vocab.at(left) + model_.vocab.at(right);
    return static_cast<uint16_t>(model_.token_to_id.at(joined));  // throws: the text is missing
  }

  // Up to this, scanning the ranks beats a heap. Changed to 32 and 16: encoding text without
  // spaces at 32,000 5 and 9 % slower, English and code up to 7 % slower.
  static constexpr size_t kShortRun = 64;

  // The rescan itself, on copies of the ids and of every adjacent pair's rank and joined id in
  // small arrays: each merge looks up only the two pairs it creates, and the leftmost lowest
  // rank is found without a branch per pair.
  void scan(std::vector<uint16_t>& ids) {
    const size_t n = ids.size();
    if (n < 2) return;
    uint16_t* const symbols = symbols_;
    RankedPair* const pairs = pairs_;
    std::copy(ids.begin(), ids.end(), symbols);
    size_t count = n - 1;
    for (size_t i = 0; i < count; ++i) pairs[i] = ranks_(pair_key(symbols[i], symbols[i + 1]));
    while (count > 0) {
      uint32_t best = pairs[0].rank;
      size_t at = 0;
      for (size_t i = 1; i < count; ++i) {
        const bool lower = pairs[i].rank < best;
        best = lower ? pairs[i].rank : best;
        at = lower ? i : at;
      }
      if (best == kNoRank) break;
      symbols[at] = merged_id(symbols[at], symbols[at + 1], pairs[at].joined);
      if (at == 0 && first_ids_) first_ids_->push_back(symbols[0]);
      for (size_t i = at + 1; i < count; ++i) {
        symbols[i] = symbols[i + 1];
        pairs[i] = pairs[i + 1];
      }
      --count;
      if (at > 0) pairs[at - 1] = ranks_(pair_key(symbols[at - 1], symbols[at]));
      if (at < count) pairs[at] = ranks_(pair_key(symbols[at], symbols[at + 1]));
    }
    ids.assign(symbols, symbols + count + 1);
  }

  void queue(std::vector<uint16_t>& ids, Interrupt& interrupt) {
    const auto n = static_cast<int32_t>(ids.size());
    next_.resize(ids.size());
    prev_.resize(ids.size());
    rank_.resize(ids.size());
    heap_.clear();
    auto rank_at = [&](int32_t pos, int32_t right) {  // ranks the pair of `pos` and `right`
      const RankedPair pair = right < 0 ? RankedPair{} : ranks_(pair_key(ids[pos], ids[right]));
      rank_[pos] = pair;
      return pair.rank;
    };
    for (int32_t i = 0; i < n; ++i) {
      prev_[i] = i - 1;
      next_[i] = i + 1 < n ? i + 1 : -1;
      if (const uint32_t rank = rank_at(i, next_[i]); rank != kNoRank) {
        heap_.push_back(entry(rank, i));
      }
    }
    std::make_heap(heap_.begin(), heap_.end(), std::greater<>());
    auto relink = [&](int32_t pos) {  // re-ranks the pair that starts at `pos`
      if (const uint32_t rank = rank_at(pos, next_[pos]); rank != kNoRank) {
        heap_.push_back(entry(rank, pos));
        std::push_heap(heap_.begin(), heap_.end(), std::greater<>());
      }
    };
    while (!heap_.empty()) {
      std::pop_heap(heap_.begin(), heap_.end(), std::greater<>());
      const uint64_t top = heap_.back();
      heap_.pop_back();
      const auto pos = static_cast<int32_t>(top & 0xFFFFFFFF);
      interrupt.step();
      if (rank_[pos].rank != static_cast<uint32_t>(top >> 32)) continue;  // stale
      const int32_t right = next_[pos];
      ids[pos] = merged_id(ids[pos], ids[right], rank_[pos].joined);
      if (pos == 0 && first_ids_) first_ids_->push_back(ids[0]);
      next_[pos] = next_[right];
      if (next_[right] >= 0) prev_[next_[right]] = pos;
      rank_[right] = RankedPair{};
      relink(pos);
      if (prev_[pos] >= 0) relink(prev_[pos]);
    }
    // Live ids to the front, in text order. Node 0 never dies: merges keep the left node.
    size_t out = 0;
    for (int32_t i = 0; i >= 0; i = next_[i]) ids[out++] = ids[i];
    ids.resize(out);
  }

  static uint64_t entry(uint32_t rank, int32_t pos) {
    return (static_cast<uint64_t>(rank) << 32) | static_cast<uint32_t>(pos);
  }

  const BPE& model_;
  Ranks ranks_;
  std::vector<uint16_t>* first_ids_ = nullptr;  // where merge() collects the first node's ids
  // The scan's arrays, members so that a call does not initialise all kShortRun pairs anew.
  uint16_t symbols_[kShortRun];
  RankedPair pairs_[kShortRun];
  std::vector<int32_t> next_, prev_;  // links of the live nodes; reused between calls
  std::vector<RankedPair> rank_;      // the pair starting at each node
  std::vector<uint64_t> heap_;        // min-heap of (rank, position) entries
};
