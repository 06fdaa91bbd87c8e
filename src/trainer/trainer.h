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

// Runs the merge loop on the counted words: always the pair of highest count (the smaller pair
// key on ties), until the vocabulary holds `vocab_size` tokens or no pair occurs. Draws the
// "BPE Trainer" bar once per merge and ends its line. Consumes `words`. Polls `interrupt` as it
// works; whatever it throws passes out before anything is published.
TrainedTables train_words(WordCounts words, InitialSymbols symbols, int vocab_size,
                          Interrupt& interrupt);
