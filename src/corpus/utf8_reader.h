#pragma once

#include <fstream>
#include <vector>

#include "model/export.h"

// Reads an opened corpus file whole as strict UTF-8 and appends its pre-tokenized code units to
// `units` (whitespace -> 0x0000 0x0120, code points cut to 16 bits), then one closing 0x0000.
// Draws the "Pre-Tokenizing" bar on standard output. Throws utfcpp's errors on malformed UTF-8
// and std::runtime_error when the file delivers fewer bytes than its size.
LORVANE_API void utf8_tokens_fromfile(std::ifstream& file, std::vector<unsigned short>& units);
