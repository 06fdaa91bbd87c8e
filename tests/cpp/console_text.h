#pragma once

#include <string>

// The system's fixed diagnostic texts, written once for the C++ tests and fuzz oracles, byte for
// byte (spelling included). Kept apart from the product's own copy on purpose: a test that read
// the texts from the code under test could not catch a changed byte.
namespace expected {

inline const std::string kEncodeUntrained = "[BPE::encode] model isnt trained yet !\n";
inline const std::string kEncodeEmpty = "[error] empty \n";
inline const std::string kDecodeUntrained = "[BPE::decode] model isn't trained yet!\n";
inline const std::string kFileMissing = "File does not exist!";
inline const std::string kFileNotRegular = "Not a regular file!";
inline const std::string kVocabTooLarge = "[trainer] : vocab_size exceeds ui16 range (65535).\n";

inline std::string vocab_too_small(long long vocab_size) {
  return "[trainer] : inital symbols are filled requried (" + std::to_string(vocab_size) +
         ") size.\n so you should increase the vocab size !!\n";
}

}  // namespace expected
