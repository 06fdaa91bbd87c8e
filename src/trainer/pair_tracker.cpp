#include "trainer/pair_tracker.h"

#include <algorithm>
#include <cstring>

namespace {

// The commit and the compaction walk lists of pairs in order and update each pair's statistics,
// which lie at random in a map far larger than the cache: those of the pair this many ahead are
// fetched meanwhile.
constexpr size_t kStatsAhead = 8;

// Makes room for `wanted` values in `array`. The first merges are the largest: a buffer more than
// kSlack times larger than a merge needs is given back first, so that its pages do not stay
// resident through the smaller merges that follow; the sizes shrink slowly, so this is rare.
template <class T>
void refit(ReallocArray<T>& array, size_t wanted) {
  constexpr size_t kSlack = 8, kSmall = size_t{1} << 16;
  if (array.capacity() > kSmall && array.capacity() > kSlack * wanted) array = ReallocArray<T>();
  array.reserve(wanted);
}

}  // namespace

PairTracker::PairTracker(const Chains& chains, const WordSpans& words, size_t merges,
                         Interrupt& interrupt) {
  // The floor is the count of the pair ranked twice the merges asked for. A merge uses up one
  // pair and creates others, so the last merge's count lies near that rank's: on text without
  // spaces the count ranked 1.1 to 2 times the merges. A floor set too high costs a second
  // count of the pairs (track_all), never a different result.
  constexpr size_t kTrackedPerMerge = 2;
  track_floor_ = build_pairs(stats_, chains, words, positions_, list_order_,
                             kTrackedPerMerge * merges, interrupt);
  rebuild_heap();
}

void PairTracker::track_all(const Chains& chains, const WordIndex& words, Interrupt& interrupt) {
  stats_.clear(stats_.size());
  positions_.clear();
  track_floor_ = build_pairs(stats_, chains, words, positions_, list_order_, 0, interrupt);
  assert(track_floor_ == 1);
  dead_pairs_ = 0;
  rebuild_heap();
}

void PairTracker::rebuild_heap() {
  // The first floor: the count of about the kHeld-th most frequent pair, so that the heap
  // starts at 64 KiB of entries, within the second cache level.
  constexpr size_t kHeld = size_t{1} << 12;
  heap_.rebuild(stats_, count_at_rank(stats_, kHeld));
}

std::span<const uint32_t> PairTracker::take(uint32_t key, uint16_t new_id) {
  PairInfo& info = stats_.known(key);
  if (!is_dead(info)) ++dead_pairs_;
  info.count = 0;
  taken_ = key;
  new_id_ = new_id;
  // The nodes, read from the list: one per byte at most. Nothing is kept, so growing copies none.
  taken_nodes_.clear();
  refit(taken_nodes_, info.length);
  taken_nodes_.resize(info.length);
  const size_t nodes =
      read_list({positions_.data() + list_start(info), info.length}, taken_nodes_.data());
  // Each occurrence records at most two new pairs: room for them all now, rather than growth
  // that copies the records made so far. Pages never written are never faulted in.
  refit(recorded_, 2 * nodes);
  return {taken_nodes_.data(), nodes};
}

void PairTracker::commit_new_pairs() {
  const size_t touched = touched_.size();
  // 1. The pairs that only lost occurrences existed before the merge. A count never drops
  // below 0: only the merged pair, already at 0, can lose more than it holds.
  for (size_t i = 0; i < touched; ++i) {
    if (i + kStatsAhead < touched) stats_.prefetch(touched_[i + kStatsAhead].key);
    const Touched& pair = touched_[i];
    if (pair.created()) continue;
    PairInfo* const info = stats_.find(pair.key);
    if (info == nullptr) continue;  // not tracked
    assert(info->count + pair.change >= 0 || pair.key == taken_);
    const bool was_dead = is_dead(*info);
    info->count = std::max<int64_t>(0, info->count + pair.change);
    if (!was_dead && is_dead(*info)) ++dead_pairs_;
  }
  // 2. The created pairs, each given a list in order of arrival. A pair's nodes arrive in
  // ascending order and never twice (a merge walks its occurrences left to right, and a node
  // recorded as a new pair's left node is passed by then), so bucketing the records by pair in
  // arrival order sorts them.
  size_t created = 0, incoming = 0;
  for (size_t i = 0; i < touched; ++i) {
    if (!tracked(touched_[i])) continue;
    ++created;
    incoming += list_aligned(touched_[i].bytes);
  }
  if (stats_.grows_with(created) && dead_pairs_ * 4 >= stats_.size()) {
    // Dead pairs never occur again: dropping their entries keeps the map as large as the live
    // pairs need rather than every pair there ever was. Only once a quarter of them are dead, so
    // that each purge makes room for many merges.
    purge_dead_pairs(incoming);
  } else if (positions_.size() + incoming > positions_.capacity()) {
    compact_positions(incoming);
  }
  next_entry_.resize(touched);
  size_t offset = positions_.size();
  for (size_t i = 0; i < touched; ++i) {
    if (i + kStatsAhead < touched && tracked(touched_[i + kStatsAhead]))
      stats_.prefetch(touched_[i + kStatsAhead].key);
    Touched& pair = touched_[i];
    if (!tracked(pair)) continue;
    PairInfo& info = stats_[pair.key];
    assert(info.count == 0 && info.length == 0);  // its key holds the new token: a new entry
    info.count = pair.change;
    info.begin = position_index(offset / kListAlign);
    info.length = pair.bytes;
    next_entry_[i] = offset;
    offset += list_aligned(pair.bytes);
    pair.last = 0;  // the gaps are taken again as the records are written
    list_order_.push_back(pair.key);
    heap_.push(pair.key, info.count);  // live: counted at least the floor, which is 1 or more
  }
  positions_.resize(offset);
  for (const Recorded& r : recorded_) {
    Touched& pair = touched_[r.touched];
    if (!tracked(pair)) continue;
    uint8_t* const at = positions_.data() + next_entry_[r.touched];
    next_entry_[r.touched] += static_cast<size_t>(put_gap(at, r.node - pair.last) - at);
    pair.last = r.node;
  }
  for (const Touched& pair : touched_) touch_slot(pair.key) = 0;
  touched_.clear();
  recorded_.clear();
}

void PairTracker::purge_dead_pairs(size_t incoming) {
  // First the lists: compaction drops the dead lists and their keys from list_order_, which
  // names every pair with a list and is walked through the map. Then the entries: none of them
  // is named anywhere any more.
  compact_positions(incoming);
  stats_.erase_if([](uint32_t, const PairInfo& info) {
    if (!is_dead(info)) return false;
    assert(info.length == 0);  // its list was compacted away first
    return true;
  });
  dead_pairs_ = 0;
}

// A pair whose count is 0 can never occur again (only a merge's new pairs gain occurrences),
// so its occurrence list is dead. Instead of doubling the position array, slide the live lists
// down over the dead ones, in the order they lie in, and make sure the array has room for
// `incoming` more bytes and spare room, so that the merges after this one append for a while
// before the next compaction. A compaction costs a statistics lookup per list and a move per
// byte: the spare room is a quarter of the bytes, or kListRoom bytes per list where the lists
// are many and short (text without spaces). The array never shrinks: the next merges write the
// pages past the live lists again, and giving them back would only have them faulted in anew.
//
// Tried: dropping, as the lists are slid, the entries whose occurrence a merge has destroyed
// (two thirds of those kept by the 3,000th merge of 140 MB of code). It costs a look at every
// entry's node: 5 % less peak memory on that corpus for 10 to 25 % more time on code and text
// without spaces, so the entries stay until their pair is merged or dies.
void PairTracker::compact_positions(size_t incoming) {
  size_t kept = 0, kept_lists = 0;
  for (size_t i = 0; i < list_order_.size(); ++i) {
    if (i + kStatsAhead < list_order_.size()) stats_.prefetch(list_order_[i + kStatsAhead]);
    PairInfo& info = stats_.known(list_order_[i]);
    const size_t start = list_start(info);
    if (is_dead(info)) {
      info.begin = info.length = 0;
      continue;
    }
    std::memmove(positions_.data() + kept, positions_.data() + start, info.length);
    info.begin = position_index(kept / kListAlign);
    kept = list_aligned(kept + info.length);
    list_order_[kept_lists++] = list_order_[i];
  }
  list_order_.resize(kept_lists);
  positions_.resize(kept);
  constexpr size_t kListRoom = 8;
  const size_t wanted = kept + incoming + std::max((kept + incoming) / 4, kListRoom * kept_lists);
  positions_.reserve(wanted);
}
