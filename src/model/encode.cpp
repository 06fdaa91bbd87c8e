#include <algorithm>
#include <array>
#include <functional>
#include <iostream>
#include <queue>
#include <stdexcept>
#include <utf8.h>

#include "model/bpe.h"
#include "model/pair_key.h"

// Design note. The result of encoding is defined by a plain rescan: find the adjacent pair of
// lowest rank (the leftmost on ties), merge it, and scan again from the start. That costs
// n x m lookups and takes hours on a megabyte of text. Here the symbols form a linked list over
// their initial positions and every ranked pair sits in a min-heap ordered by (rank, position
// of its left symbol). Merges keep the left node, so positions stay in text order and the
// heap's top is exactly the pair the rescan would pick. Entries are never removed: a popped
// entry counts only if the pair now at its position still has its rank. Every merge computes
// the merged id the way the rescan does (texts joined, looked up with a checked lookup), so
// broken tables raise the same error at the same merge.

namespace {

constexpr uint32_t kNoRank = 0xFFFFFFFF;  // never merged: the rescan needs a strictly lower rank
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

// Applies the merges in place; see the design note at the top of this file.
class MergeQueue {
 public:
  MergeQueue(std::vector<uint16_t>& ids, const BPE& model)
      : ids_(ids), model_(model), next_(ids.size()), prev_(ids.size()), rank_(ids.size()) {
    const auto n = static_cast<int32_t>(ids.size());
    std::vector<uint64_t> entries;
    for (int32_t i = 0; i < n; ++i) {
      prev_[i] = i - 1;
      next_[i] = i + 1 < n ? i + 1 : -1;
      rank_[i] = next_[i] < 0 ? kNoRank : rank_of(ids[i], ids[i + 1]);
      if (rank_[i] != kNoRank) entries.push_back(entry(rank_[i], i));
    }
    heap_ = Heap(std::greater<>(), std::move(entries));
  }

  void run() {
    while (!heap_.empty()) {
      const uint64_t top = heap_.top();
      heap_.pop();
      const auto pos = static_cast<int32_t>(top & 0xFFFFFFFF);
      if (rank_[pos] == static_cast<uint32_t>(top >> 32)) merge_at(pos);
    }
    compact();
  }

 private:
  using Heap = std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<>>;

  static uint64_t entry(uint32_t rank, int32_t pos) {
    return (static_cast<uint64_t>(rank) << 32) | static_cast<uint32_t>(pos);
  }

  uint32_t rank_of(uint16_t left, uint16_t right) const {
    const auto found = model_.merge_rank.find(pair_key(left, right));
    return found == model_.merge_rank.end() ? kNoRank : found->second;
  }

  // Id of the token that joins two ids, computed as the rescan does and cached for this call.
  uint16_t merged_id(uint16_t left, uint16_t right) {
    const uint32_t key = pair_key(left, right);
    if (const auto cached = merged_.find(key); cached != merged_.end()) return cached->second;
    const std::string joined = model_.vocab.at(left) + model_.vocab.at(right);
    const auto id = static_cast<uint16_t>(model_.token_to_id.at(joined));
    merged_.emplace(key, id);
    return id;
  }

  // Recomputes the rank of the pair that starts at `pos` and queues it.
  void relink(int32_t pos) {
    const int32_t right = next_[pos];
    rank_[pos] = right < 0 ? kNoRank : rank_of(ids_[pos], ids_[right]);
    if (rank_[pos] != kNoRank) heap_.push(entry(rank_[pos], pos));
  }

  void merge_at(int32_t pos) {
    const int32_t right = next_[pos];
    ids_[pos] = merged_id(ids_[pos], ids_[right]);
    next_[pos] = next_[right];
    if (next_[right] >= 0) prev_[next_[right]] = pos;
    rank_[right] = kNoRank;
    next_[right] = -2;  // dead
    relink(pos);
    if (prev_[pos] >= 0) relink(prev_[pos]);
  }

  // Moves the live ids to the front, in text order. Node 0 never dies: merges keep the left.
  void compact() {
    size_t out = 0;
    for (int32_t i = 0; i >= 0; i = next_[i]) ids_[out++] = ids_[i];
    ids_.resize(out);
  }

  std::vector<uint16_t>& ids_;
  const BPE& model_;
  std::vector<int32_t> next_, prev_;
  std::vector<uint32_t> rank_;  // rank of the pair starting at each node, kNoRank if none
  Heap heap_;
  std::unordered_map<uint32_t, uint16_t> merged_;
};

}  // namespace

std::vector<uint16_t> BPE::encode(const std::string& text) const {
  if (vocab.empty()) {
    std::cerr << "[BPE::encode] model isnt trained yet !\n";
    return {};
  }
  const std::vector<uint16_t> units = utf8_to_units(text);
  std::vector<uint16_t> ids = units.empty() ? std::vector<uint16_t>{} : initial_ids(units, token_to_id);
  if (ids.empty()) {
    std::cerr << "[error] empty \n";
    return {};
  }
  if (ids.size() > static_cast<size_t>(INT32_MAX)) {
    throw std::length_error("encode: more than 2^31 - 1 characters in one text");
  }
  if (ids.size() > 1) MergeQueue(ids, *this).run();
  return ids;
}
