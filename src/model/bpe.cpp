#include "model/bpe.h"

BPE::BPE(int vocab_size) : vocab_size(vocab_size) {}
