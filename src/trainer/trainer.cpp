#include <utf8.h>

#include <bitset>
#include <cassert>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "common/messages.h"
#include "common/pair_key.h"
#include "common/system_memory.h"
#include "corpus/utf8_reader.h"
#include "model/bpe.h"
#include "report/progress.h"
#include "trainer/chains.h"
#include "trainer/merge_walk.h"
#include "trainer/word_counts.h"

// Design note. Training reads the corpus (corpus/utf8_reader.h), counts each distinct word once
// (word_counts.h) and numbers its code units (`initial_symbols` below), lays the distinct words out
// as chains of 2-byte nodes (chains.h), counts every adjacent pair, weighted by its word's count,
// and keeps those frequent enough to matter with the list of their left nodes (pair_stats.h,
// pair_tracker.h), and then merges the best pair again and again
// (merge_walk.h): a merge visits only the recorded occurrences of its pair, finds each one's word
// through the word index (chains.h), and reports the pairs it destroys and creates to the tracker
// (pair_tracker.h), which applies the changes once per pair at the end of the merge and offers
// every created pair to the heap (pair_heap.h). The tables are published only when the run is over
// (`train_counted` below), so an interrupt or an error leaves the model as it was.
//
// Performance notes. Each trick, what it saves, on which corpus (those of bench/corpora.py: en
// is English technical text, code source code, cjk text without spaces, longrun and shortrun
// the one-word corpora), and the commit it was measured at. Figures marked "removed" come from
// training 10 MB with and without the trick at 9a25841, the medians of five runs each taking
// turns on a shared 2-core machine, where two builds doing the same work differed by up to 9%:
// only the larger of them are clear. Figures marked "changed" come from the same comparison at
// d9f8e09 (10 MB of en and cjk at 8,000 and 32,000, five runs per build), the ratio of median
// CPU times with the choice changed to the unchanged build, on a machine loaded 4 to 8 by other
// work, where two identical builds differed by up to 13% (0.87 to 1.00): a choice whose figures
// stay within that band is insensitive at this resolution. Choices marked "a layout" are the
// shape of the data, with no build without them to time. To re-measure a constant, build the
// module with it changed into a directory of its own and time both builds with
// bench/before_after.py.
// Reading and counting words
//   - Each distinct word is stored and counted once; everything after works on the distinct
//     words weighted by their counts, so memory follows the corpus's vocabulary of words, not
//     its size (934ee06): a layout.
//   - Finished words wait in batches of kBatch = 16 while their word-table slots load (527ffd3).
//     Removed (batches of 1): en and code at 8,000 about 7% slower.
//   - The splitter's pending units and a merge's records grow with realloc, the records reserved
//     once per merge (dca25f4): a quarter fewer page faults, about 10% less time on the
//     one-word corpora.
//   - The word table fills to at most one half and the pair maps to three quarters
//     (common/word_table.cpp, common/u32_map.h). Changed: the word table to three quarters
//     0.93 to 0.99, the pair maps to one half 0.97 to 1.05: insensitive. The hashes are FNV-1a
//     and Fibonacci hashing (common/slot_hash.h). Changed at c6af48d: FNV-1a to h * 31 + unit
//     0.98 to 1.00, insensitive; a slot from the key's low bits alone, which hold only the right
//     id of a pair, en at 8,000 65 times the CPU time.
// Chains
//   - Nodes are the 2-byte ids in the storage of the counted words; a dead run keeps its length
//     in 1 byte at both ends, long runs in a side map, so a neighbour is one step away: 3 bytes
//     per symbol of the distinct words (7522b26, ea4260b, 7c67adc, 5058255): a layout.
//   - The per-word arrays are given back once the word index is built (5058255). Changed (kept
//     through the merges): peak memory at 32,000 on 20 MB of Python code 120.4 and 119.0 MiB,
//     11 MB of cjk 119.3 and 118.9 MiB, 8 MB of en 46.5 and 46.9 MiB (c6af48d): insensitive,
//     the peak comes before the merges.
// Counting the pairs (pair_stats.cpp)
//   - A run of one symbol's equal pairs is counted at once (97c2b65): counting the pairs of the
//     one-word corpora five times faster.
//   - The map slot of the pair kAhead = 16 nodes ahead is fetched (edaef3b): counting and laying
//     out the pairs of cjk about a third faster.
//   - The occurrence lists lie in one array laid out by a counting pass, in the order the map
//     visits its pairs, so compaction needs no sort (40bf052): a layout.
//   - PairInfo is 16 bytes and 4-byte aligned, the build keeping each list's fill state in its
//     count, the counts set aside meanwhile: a slot is 20 bytes, not 24. Changed (an 8-byte
//     aligned count, 24-byte slots): 1.00 to 1.04, insensitive in time; the map is a sixth
//     smaller.
//   - The lists hold the gaps between their left nodes in 7-bit groups, not 4-byte nodes; a
//     merge reads its list into a buffer first, and gives its node and record buffers back when
//     they are eight times what it needs. Peak memory on 1 GB of the scale corpus at 32,000
//     1,501 to 944 MiB (13.5 to 8.5 bytes per code unit of the distinct words), on 300 MB 713
//     to 501 MiB; time, medians of five runs (before_after.py, 59bade0 against the change):
//     100 MB of en 1.00, of code 1.10, 10 MB of en, code and cjk 1.00 to 1.10. Tried, did not
//     help: a commit that buckets a merge's records by pair first, then writes each list in one
//     pass (10 MB: 1.04 to 1.11 of the time before the gap-coded lists).
// Choosing the pair (pair_heap.h, pair_tracker.h)
//   - Only the pairs counted at least the count of the pair ranked twice the merges asked for
//     are tracked, and a merge's new pairs below it get no entry and no list; should the merges
//     reach below that floor, the pairs are counted again, all of them. Removed (every pair
//     tracked, bench/before_after.py, three runs, 10 MB): cjk at 8,000 and 32,000 1.52 and 1.55
//     times the time and 2.3 times the peak memory (46 to 108 MiB at 32,000); en and code keep
//     every pair (floor 1), as they have few pairs. Changed: 1.5 times the merges, cjk at 32,000
//     0.92 of the time, floors of 89 and 8 for last merges counted 96 and 10; 1.2 times, the
//     pairs counted again on cjk at 8,000 and 32,000, 1.7 and 1.3 times the time. Tried, did not
//     help: moving the pairs above the floor into a map sized for them before the lists are
//     filled (cjk 1.00 and 1.05 of the time).
//   - Only pairs counted at least a floor are held, the first floor the count of the
//     kHeld = 4096th pair (3d5de63, 7225561). Removed (floor 1): en 7 to 15%, cjk 13 to 20%
//     slower.
//   - The next top's statistics are fetched while the popped one is checked (5367484). Removed:
//     en and cjk at 32,000 3 to 6% slower.
// Merging (merge_walk.cpp, pair_tracker.cpp, chains.h)
//   - The nodes of the occurrence kNodesAhead = 16 ahead are fetched, its word entry
//     kWordsAhead = 8 ahead (2488146, f00e43c). Removed: en 8 to 10%, cjk 14 to 20% slower.
//   - The first kNodesAhead nodes are asked for at once (62a36a2). Removed: within the noise on
//     en and cjk at 32,000. Tried, did not help: asking for them before the new token's table
//     entries are made, so that the work hides their latency (0.99 of the time on cjk).
//   - The word of a node comes from an entry per kBlock = 32 nodes and a short scan (f00e43c).
//     Changed: kBlock = 8 0.97 to 1.03, kBlock = 128 0.97 to 1.09: insensitive.
//   - Count changes are collected per touched pair and applied once per pair at the commit
//     (f00e43c): a layout. The statistics of the pair kStatsAhead = 8 ahead are
//     fetched in the commit and the compaction. Removed: en 2 to 6%, cjk 2 to 18% slower.
//   - A touched pair's statistics are fetched at its first touch, so that the commit finds them
//     in the cache (9f6c96d): a tenth off merging cjk.
//   - The touched pairs beside the last left and right neighbour are kept (a6c0c32): longrun
//     trains in two thirds of the time.
//   - A touched pair's index lies in one of four tables of 2^16 entries, indexed by the
//     neighbour that names it (pair_tracker.h), not a hash map cleared for every merge: an array
//     access rather than a probe, 1 MiB in all (a layout).
//   - Dead occurrence lists are slid out in place, in the order the lists lie, with spare room
//     of a quarter of the bytes or kListRoom = 8 bytes per list, whichever is larger, and the
//     array never shrinks (5058255, 2437a5f, 9519061, 263702b). Changed (no spare room): en 1.7
//     to 2.1, cjk 5.9 to 10.5 times the CPU time: without it nearly every merge compacts.
//     Changed (half of the bytes, as before the gap-coded lists): code at 100 MB 0.98 of the
//     time, within the noise.
//   - Dead pairs leave the map, in place, when it would grow and a quarter of its entries are
//     dead (pair_tracker.cpp): peak memory on 140 MB of code at 32,000 415 to 307 MiB, on 11 MB
//     of text without spaces 131 to 119 MiB, time within the noise.
// Memory pages
//   - The hash maps' slots, the word table and the node array are backed by huge pages
//     (c50651e): merging code and cjk about a tenth faster, peak memory unchanged.
//   - The C allocator's free memory goes back to the system when training ends
//     (common/system_memory.h): what the process keeps after training 140 MB of code and deleting
//     the model, 56 to 79 MiB before, 5 MiB after.

namespace {

// The initial symbols: ids 0 to n-1 in ascending code-unit order.
struct InitialSymbols {
  std::vector<std::string> vocab;    // UTF-8 text of each initial id
  std::vector<uint16_t> symbol_ids;  // code unit -> initial id (65536 entries)
};

// Collects the alphabet of `words` and checks `vocab_size` against it and against 65535. A
// refusal is written to standard error and gives nullopt. Throws utf8::invalid_code_point for a
// symbol in the surrogate range.
std::optional<InitialSymbols> initial_symbols(const WordCounts& words, int vocab_size) {
  auto seen = std::make_unique<std::bitset<65536>>();
  for (size_t w = 0; w < words.size(); ++w) {
    for (uint16_t unit : words.word(w)) seen->set(unit);
  }
  const size_t n = seen->count();
  // Sign-extended, then compared unsigned: a negative size passes here and fails the next check.
  if (static_cast<uint64_t>(static_cast<int64_t>(vocab_size)) < n) {
    std::cerr << message::kVocabTooSmallBefore << vocab_size << message::kVocabTooSmallAfter;
    return std::nullopt;
  }
  if (static_cast<uint32_t>(vocab_size) > 65535) {
    std::cerr << message::kVocabTooLarge;
    return std::nullopt;
  }
  InitialSymbols symbols;
  symbols.symbol_ids.assign(65536, 0);
  symbols.vocab.reserve(static_cast<size_t>(vocab_size));
  for (uint32_t unit = 1; unit < 65536; ++unit) {
    if (!seen->test(unit)) continue;
    symbols.symbol_ids[unit] = static_cast<uint16_t>(symbols.vocab.size());
    std::string& text = symbols.vocab.emplace_back();
    utf8::append(unit, std::back_inserter(text));  // throws for a surrogate-range unit
  }
  return symbols;
}

// The three tables one training run produces; they replace the model's together.
struct TrainedTables {
  std::vector<std::string> vocab;
  std::unordered_map<uint32_t, uint32_t> merge_rank;
  std::unordered_map<std::string, uint32_t> token_to_id;
};

// Runs the merge loop on the counted words: always the pair of highest count (the smaller pair
// key on ties), until the vocabulary holds `vocab_size` tokens or no pair occurs. Draws the
// "BPE Trainer" bar once per merge and ends its line. Polls `interrupt` as it works; whatever it
// throws passes out before anything is published.
TrainedTables train_words(WordCounts words, InitialSymbols symbols, int vocab_size,
                          Interrupt& interrupt) {
  TrainedTables tables;
  tables.vocab = std::move(symbols.vocab);
  // 1. Chains of the distinct words, built in the storage of the counted words.
  ChainedWords built = build_chains(std::move(words), symbols.symbol_ids, interrupt);
  // 2. Pair statistics, the heap and the word index.
  const auto target = static_cast<uint32_t>(vocab_size);
  auto vocab_count = static_cast<uint32_t>(tables.vocab.size());
  MergeWalk walk(std::move(built), target - vocab_count, interrupt);
  // 3. Merge the best pair until the vocabulary is full or no pair is left.
  const EndBarLineWhenStopped end_line(interrupt,
                                       [&, first = vocab_count] { return vocab_count != first; });
  for (uint32_t rank = 0; vocab_count < target; ++rank) {
    interrupt.step();
    const std::optional<uint32_t> key = walk.best_pair();
    if (!key) break;
    tables.merge_rank[*key] = rank;
    tables.vocab.push_back(tables.vocab[pair_left(*key)] + tables.vocab[pair_right(*key)]);
    assert(vocab_count < kDeadId);  // the size checks keep every new id live
    walk.merge(*key, static_cast<uint16_t>(vocab_count));
    ++vocab_count;
    progress_bar(static_cast<int>(vocab_count), vocab_size, "BPE Trainer");
  }
  std::cout << '\n' << std::flush;
  // 4. The reverse table: a text that occurs twice maps to its higher id.
  tables.token_to_id.reserve(tables.vocab.size());
  for (size_t id = 0; id < tables.vocab.size(); ++id) {
    tables.token_to_id[tables.vocab[id]] = static_cast<uint32_t>(id);
  }
  return tables;
}

// The step both trainings share, once the corpus is counted: checks `model.vocab_size` against
// the alphabet of `words`, calls `accepted()` once it passes, merges, and installs the tables in
// the model only when the run is over (moves that cannot fail, so a model is never left half
// trained). A refusal is written to standard error and leaves the model unchanged.
template <class Accepted>
void train_counted(BPE& model, WordCounts words, Interrupt& interrupt, Accepted accepted) {
  std::optional<InitialSymbols> symbols = initial_symbols(words, model.vocab_size);
  if (!symbols) return;
  accepted();
  TrainedTables tables =
      train_words(std::move(words), std::move(*symbols), model.vocab_size, interrupt);
  model.vocab = std::move(tables.vocab);
  model.merge_rank = std::move(tables.merge_rank);
  model.token_to_id = std::move(tables.token_to_id);
}

}  // namespace

void BPE::train(std::vector<uint16_t>& units) {
  // Declared first, so that it runs after every buffer of the run is freed.
  const ReturnFreeMemoryOnExit give_back;
  Interrupt never;
  train_counted(*this, count_words(units), never, [&] {
    // Accepted: the caller's sequence is released before the merge loop needs the memory.
    units.clear();
    units.shrink_to_fit();
  });
}

void BPE::train_fromfile(const std::string& filepath, unsigned long buffer_size) {
  Interrupt never;
  train_fromfile(filepath, buffer_size, never);
}

// Reads the corpus straight into word counts: the pre-tokenized sequence is never held whole,
// so memory follows the corpus's distinct words rather than its size. The bars and the result
// are those of reading the whole sequence first and training on it.
void BPE::train_fromfile(const std::string& filepath, unsigned long /*buffer_size*/,
                         Interrupt& interrupt) {
  // Declared first, so that it runs after every buffer of the run is freed.
  const ReturnFreeMemoryOnExit give_back;
  const FileInfo info = getFileInfo(filepath);
  if (const auto* error = std::get_if<std::string>(&info)) {
    std::cerr << *error << "\n";
    return;
  }
  WordCounts words;
  {
    std::ifstream file(filepath, std::ios::binary);
    if (!file) {
      std::cerr << message::kFileUnreadable;
      return;
    }
    WordSplitter split(words);
    corpus::stream_utf8_units(file, corpus::stream_size(file), split, interrupt);
    split(kBoundary);  // the closing boundary unit
    split.finish();
  }
  train_counted(*this, std::move(words), interrupt, [] {});
}
