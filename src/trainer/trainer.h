#pragma once

#include "common/interrupt.h"
#include "trainer/alphabet.h"
#include "trainer/publish.h"
#include "trainer/word_counts.h"

// Design note. Training counts each distinct word once (word_counts.h) and numbers its code
// units (alphabet.h), lays the distinct words out as chains of 2-byte nodes (chains.h), counts
// every adjacent pair, weighted by its word's count, with the list of its left nodes
// (pair_stats.h), and then merges the best pair again and again (merge_walk.h): a merge visits
// only the recorded occurrences of its pair, finds each one's word through the word index
// (word_index.h), and reports the pairs it destroys and creates to the tracker (pair_tracker.h),
// which applies the changes once per pair at the end of the merge and offers every created pair
// to the heap (pair_heap.h). The tables are published only when the run is over (publish.h), so
// an interrupt or an error leaves the model as it was.
//
// Performance notes. Each trick, what it saves, on which corpus (those of bench/corpora.py: en
// is English technical text, code source code, cjk text without spaces, longrun and shortrun
// the one-word corpora), and the commit it was measured at. Figures marked "removed" come from
// training 10 MB with and without the trick at 9a25841, the medians of five runs each taking
// turns on a shared 2-core machine, where two builds doing the same work differed by up to 9%:
// only the larger of them are clear. To re-measure a constant, build the module with it changed
// into a directory of its own and time both builds with bench/before_after.py.
// Reading and counting words
//   - Each distinct word is stored and counted once; everything after works on the distinct
//     words weighted by their counts, so memory follows the corpus's vocabulary of words, not
//     its size (934ee06): not measured apart.
//   - Finished words wait in batches of kBatch = 16 while their word-table slots load (527ffd3).
//     Removed (batches of 1): en and code at 8,000 about 7% slower.
//   - The splitter's pending units and a merge's records grow with realloc, the records reserved
//     once per merge (dca25f4): a quarter fewer page faults, about 10% less time on the
//     one-word corpora.
//   - The word table fills to at most one half and the pair maps to three quarters, and the
//     hashes are FNV-1a and Fibonacci hashing (common/word_table.cpp, common/u32_map.h,
//     common/slot_hash.h): not measured.
// Chains
//   - Nodes are the 2-byte ids in the storage of the counted words; a dead run keeps its length
//     in 1 byte at both ends, long runs in a side map, so a neighbour is one step away: 3 bytes
//     per symbol of the distinct words (7522b26, ea4260b, 7c67adc, 5058255). Time not measured.
//   - The per-word arrays are given back once the word index is built (5058255): memory, not
//     measured.
// Counting the pairs (pair_stats.cpp)
//   - A run of one symbol's equal pairs is counted at once (97c2b65): counting the pairs of the
//     one-word corpora five times faster.
//   - The map slot of the pair kAhead = 16 nodes ahead is fetched (edaef3b): counting and laying
//     out the pairs of cjk about a third faster.
//   - The occurrence lists lie in one array laid out by a counting pass, in the order the map
//     visits its pairs, so compaction needs no sort (40bf052): not measured.
//   - PairInfo is 4-byte aligned and the build fills each list through its start, moved back
//     once the lists are full: a slot is 20 bytes, not 24.
// Choosing the pair (pair_heap.h)
//   - Only pairs counted at least a floor are held, the first floor the count of the
//     kHeld = 4096th pair (3d5de63, 7225561). Removed (floor 1): en 7 to 15%, cjk 13 to 20%
//     slower.
//   - The next top's statistics are fetched while the popped one is checked (5367484). Removed:
//     en and cjk at 32,000 3 to 6% slower.
// Merging (merge_walk.cpp, pair_tracker.cpp, word_index.h)
//   - The nodes of the occurrence kNodesAhead = 16 ahead are fetched, its word entry
//     kWordsAhead = 8 ahead (2488146, f00e43c). Removed: en 8 to 10%, cjk 14 to 20% slower.
//   - The first kNodesAhead nodes are asked for at once (62a36a2). Removed: within the noise on
//     en and cjk at 32,000.
//   - The word of a node comes from an entry per kBlock = 32 nodes and a short scan (f00e43c):
//     not measured.
//   - Count changes are collected per touched pair and applied once per pair at the commit
//     (f00e43c): not measured apart. The statistics of the pair kStatsAhead = 8 ahead are
//     fetched in the commit and the compaction. Removed: en 2 to 6%, cjk 2 to 18% slower.
//   - A touched pair's statistics are fetched at its first touch, so that the commit finds them
//     in the cache (9f6c96d): a tenth off merging cjk.
//   - The touched pairs beside the last left and right neighbour are kept (a6c0c32): longrun
//     trains in two thirds of the time.
//   - The touch index starts with room for min(occurrences, kTouchedRoom = 1024) pairs (49b3ef5):
//     not measured.
//   - Dead occurrence lists are slid out in place, in the order the lists lie, with half again of
//     spare room, and the array never shrinks (5058255, 2437a5f, 9519061, 263702b): not measured.
//   - Dead pairs leave the map, in place, when it would grow and a quarter of its entries are
//     dead (pair_tracker.cpp): peak memory on 140 MB of code at 32,000 415 to 307 MiB, on 11 MB
//     of text without spaces 131 to 119 MiB, time within the noise.
// Memory pages
//   - The hash maps' slots, the word table and the node array are backed by huge pages
//     (c50651e): merging code and cjk about a tenth faster, peak memory unchanged.
//   - The C allocator's free memory goes back to the system when training ends
//     (common/system_memory.h): what the process keeps after training 140 MB of code and deleting
//     the model, 56 to 79 MiB before, 5 MiB after.

// Runs the merge loop on the counted words: always the pair of highest count (the smaller pair
// key on ties), until the vocabulary holds `vocab_size` tokens or no pair occurs. Draws the
// "BPE Trainer" bar once per merge and ends its line. Consumes `words`. Polls `interrupt` as it
// works; whatever it throws passes out before anything is published.
TrainedTables train_words(WordCounts words, InitialSymbols symbols, int vocab_size,
                          Interrupt& interrupt);
