#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/bpe.h"

// The three tables one training run produces; they replace the model's together.
struct TrainedTables {
  std::vector<std::string> vocab;
  std::unordered_map<uint32_t, uint32_t> merge_rank;
  std::unordered_map<std::string, uint32_t> token_to_id;
};

// Fills `tables.token_to_id` from `tables.vocab`: a text that occurs twice maps to its higher id.
void index_token_texts(TrainedTables& tables);

// Installs the tables in the model; cannot fail, so a model is never left half trained.
void publish(BPE& model, TrainedTables&& tables) noexcept;
