// Running out of memory while an Encoder derives or extends its kept data: every allocation is
// made to fail in turn. The call that meets the failure throws std::bad_alloc; the Encoder, where
// it was made, must still give the plain result on its next calls. This binary replaces the
// global operator new, so it is built apart from the other tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <new>
#include <optional>
#include <random>
#include <string>

#include "common/interrupt.h"
#include "model/bpe.h"
#include "model/encoder.h"

namespace {

long allocations_left = -1;  // allocations that succeed before one fails; -1: none fails
bool failed = false;

void* allocate(size_t size, size_t alignment) {
  if (allocations_left >= 0 && allocations_left-- == 0) {
    failed = true;
    throw std::bad_alloc();
  }
  size = size == 0 ? 1 : size;
  void* block = alignment == 0
                    ? std::malloc(size)
                    : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

}  // namespace

void* operator new(size_t size) {
  return allocate(size, 0);
}
void* operator new(size_t size, std::align_val_t alignment) {
  return allocate(size, static_cast<size_t>(alignment));
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, size_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete(void* block, size_t, std::align_val_t) noexcept {
  std::free(block);
}

namespace {

// A model trained on random words of a few letters, and texts of them.
BPE trained_model(std::mt19937& rng, std::vector<std::string>& lexicon) {
  std::uniform_int_distribution<int> letter(0, 5), length(1, 20);
  for (int w = 0; w < 300; ++w) {
    std::string word;
    for (int n = length(rng); n > 0; --n) word += static_cast<char>('a' + letter(rng));
    lexicon.push_back(word);
  }
  std::vector<uint16_t> units;
  std::uniform_int_distribution<size_t> pick(0, lexicon.size() - 1);
  for (int w = 0; w < 3000; ++w) {
    if (w > 0) units.push_back(0x0120);
    for (const char c : lexicon[pick(rng)]) units.push_back(static_cast<uint16_t>(c));
    units.push_back(0);
  }
  BPE model(200);
  std::streambuf* saved = std::cout.rdbuf(nullptr);  // the progress bars are not under test
  model.train(units);
  std::cout.rdbuf(saved);
  return model;
}

std::string text_of(std::mt19937& rng, const std::vector<std::string>& lexicon, int words) {
  std::uniform_int_distribution<size_t> pick(0, lexicon.size() - 1);
  std::string text;
  for (int w = 0; w < words; ++w) text += (w ? " " : "") + lexicon[pick(rng)];
  return text + " " + std::string(300, 'a');  // one long word for the heap merger
}

TEST(EncoderAllocation, EveryFailedAllocationLeavesAWorkingEncoder) {
  std::mt19937 rng(6);
  std::vector<std::string> lexicon;
  const BPE model = trained_model(rng, lexicon);
  // Two calls, the second of which makes the short-word table; a third for the check.
  const std::string first = text_of(rng, lexicon, 400), second = text_of(rng, lexicon, 400);
  Interrupt never;
  const std::vector<uint16_t> expected_first = model.encode(first);
  const std::vector<uint16_t> expected_second = model.encode(second);
  for (long n = 0;; ++n) {
    std::optional<Encoder> encoder;
    failed = false;
    allocations_left = n;
    try {
      encoder.emplace(model);
      encoder->encode(first, never);
      encoder->encode(second, never);
    } catch (const std::bad_alloc&) {
    }
    allocations_left = -1;
    if (encoder) {
      ASSERT_EQ(encoder->encode(second, never), expected_second) << "allocation " << n << " failed";
      ASSERT_EQ(encoder->encode(first, never), expected_first) << "allocation " << n << " failed";
    }
    if (!failed) break;  // every allocation of the three calls has failed once
  }
}

}  // namespace
