#include "trainer/publish.h"

#include <utility>

void index_token_texts(TrainedTables& tables) {
  tables.token_to_id.reserve(tables.vocab.size());
  for (size_t id = 0; id < tables.vocab.size(); ++id) {
    tables.token_to_id[tables.vocab[id]] = static_cast<uint32_t>(id);
  }
}

void publish(BPE& model, TrainedTables&& tables) noexcept {
  model.vocab = std::move(tables.vocab);
  model.merge_rank = std::move(tables.merge_rank);
  model.token_to_id = std::move(tables.token_to_id);
}
