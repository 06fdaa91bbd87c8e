// The corpus reader and file training on arbitrary file bytes.
//
// utf8_tokens_fromfile must give the units of a plain whole-buffer decode (also the units it
// appended before a malformed sequence), raise the same utfcpp error, keep what the vector held
// before, and draw exactly the final reading bar. train_fromfile on the same file must leave the
// model, the console and the exception exactly as reading the file whole and calling BPE::train
// on the units would; a failed run leaves the model unchanged.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>

#include "corpus/utf8_reader.h"
#include "fuzz_support.h"
#include "model/bpe.h"
#include "oracles.h"

namespace {

// One in-memory file reused for every input; opened by path through /proc.
struct MemFile {
  int fd;
  std::string path;
  MemFile() : fd(memfd_create("lorvane-fuzz-corpus", 0)) {
    if (fd < 0) fuzz::fail(__FILE__, __LINE__, "memfd_create failed");
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  void write(const std::string& bytes) const {
    if (ftruncate(fd, 0) != 0) fuzz::fail(__FILE__, __LINE__, "ftruncate failed");
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n =
          pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n <= 0) fuzz::fail(__FILE__, __LINE__, "pwrite failed");
      done += static_cast<size_t>(n);
    }
  }
};

// A model trained before, so that a refused or failed run has tables to keep.
BPE trained_model() {
  BPE model(12);
  std::vector<uint16_t> units = {'a', 'b', 'a',   0,   0x120, 'a', 'b',
                                 'c', 0,   0x120, 'c', 'a',   'b', 0};
  fuzz::CaptureConsole quiet;
  model.train(units);
  return model;
}

int vocab_size_for(uint8_t choice) {
  static const int table[] = {0, 1, 3, 8, 40, 300, 65535, 65536, -1, 2147483647};
  return choice < 200 ? choice % 64 : table[choice % 10];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const MemFile file;
  static const BPE pretrained = trained_model();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  file.write(bytes);

  // What a whole-buffer decode gives.
  std::vector<uint16_t> want_units;
  const fuzz::Thrown want_thrown =
      fuzz::capture_throw([&] { oracle::whole_buffer_units(bytes, want_units); });
  const bool decodes = want_thrown.type.empty();
  const std::string context = " file=[" + fuzz::hex(bytes) + "]";

  // 1. The reader, appending after units the vector already holds.
  {
    std::vector<unsigned short> prefix;
    if (size % 3 == 1) prefix = {7};
    if (size % 3 == 2) prefix = {0x120, 0};
    std::vector<unsigned short> units = prefix;
    std::vector<uint16_t> expected = prefix;
    expected.insert(expected.end(), want_units.begin(), want_units.end());
    std::ifstream in(file.path, std::ios::binary);
    FUZZ_CHECK(in.good(), "cannot open the memory file");
    fuzz::CaptureConsole console;
    const fuzz::Thrown thrown = fuzz::capture_throw([&] { utf8_tokens_fromfile(in, units); });
    const std::string out = console.take_out();
    const std::string err = console.take_err();
    FUZZ_CHECK(thrown == want_thrown, "reader threw " + thrown.describe() + ", whole decode " +
                                          want_thrown.describe() + context);
    FUZZ_CHECK(std::vector<uint16_t>(units.begin(), units.end()) == expected,
               "units " + fuzz::join(units) + " vs " + fuzz::join(expected) + context);
    // Inputs stay under a mebibyte: the final bar is the only one, and a failure draws none.
    const std::string bar =
        decodes ? oracle::final_reading_bar(size, prefix.size() + want_units.size() - 1) + "\n"
                : "";
    FUZZ_CHECK(out == bar,
               "reader output [" + fuzz::clip(out) + "] vs [" + fuzz::clip(bar) + "]" + context);
    FUZZ_CHECK(err.empty(), "reader wrote to standard error: " + fuzz::clip(err));
  }

  // 2. Training from the file against training on the whole-buffer units.
  const uint8_t choice = size ? data[0] : 0;
  BPE model = (choice & 0x80) ? pretrained : BPE(0);
  model.vocab_size = vocab_size_for(choice);
  const BPE before = model;

  BPE reference = before;
  std::string ref_out, ref_err;
  fuzz::Thrown ref_thrown = want_thrown;
  if (decodes) {
    std::vector<uint16_t> units = want_units;
    fuzz::CaptureConsole console;
    ref_thrown = fuzz::capture_throw([&] { reference.train(units); });
    ref_out = oracle::final_reading_bar(size, want_units.size() - 1) + "\n" + console.take_out();
    ref_err = console.take_err();
  }

  fuzz::CaptureConsole console;
  const fuzz::Thrown thrown = fuzz::capture_throw([&] { model.train_fromfile(file.path, size); });
  const std::string out = console.take_out();
  const std::string err = console.take_err();
  FUZZ_CHECK(thrown == ref_thrown, "train_fromfile threw " + thrown.describe() + ", expected " +
                                       ref_thrown.describe() + context);
  FUZZ_CHECK(fuzz::same_model(model, reference),
             "train_fromfile and train on the units differ" + context);
  if (!thrown.type.empty())
    FUZZ_CHECK(fuzz::same_model(model, before), "a failed run changed the model" + context);
  FUZZ_CHECK(out == ref_out, "train_fromfile output [" + fuzz::clip(out) + "] vs [" +
                                 fuzz::clip(ref_out) + "]" + context);
  FUZZ_CHECK(err == ref_err, "train_fromfile diagnostics [" + fuzz::clip(err) + "] vs [" +
                                 fuzz::clip(ref_err) + "]" + context);
  return 0;
}
