#pragma once

// The fixed texts of the interface: callers and scripts match them byte for byte, so they are
// kept exactly as they have always been written, spelling mistakes and spacing included.
namespace message {

inline constexpr char kEncodeUntrained[] = "[BPE::encode] model isnt trained yet !\n";
inline constexpr char kEncodeEmpty[] = "[error] empty \n";
inline constexpr char kDecodeUntrained[] = "[BPE::decode] model isn't trained yet!\n";
inline constexpr char kFileMissing[] = "File does not exist!";
inline constexpr char kFileNotRegular[] = "Not a regular file!";
inline constexpr char kFileUnreadable[] = "[tokenizer trainer] : cant read the file !! \n";
// Written around the decimal vocab_size: first part, number, second part.
inline constexpr char kVocabTooSmallBefore[] = "[trainer] : inital symbols are filled requried (";
inline constexpr char kVocabTooSmallAfter[] =
    ") size.\n so you should increase the vocab size !!\n";
inline constexpr char kVocabTooLarge[] = "[trainer] : vocab_size exceeds ui16 range (65535).\n";

}  // namespace message
