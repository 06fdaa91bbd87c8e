#pragma once

#include <string>
#include <variant>

#include "model/export.h"
#include "report/progress.h"

// Either the size of a regular file or why the path was refused: "File does not exist!" or
// "Not a regular file!".
using FileInfo = std::variant<ReadableSize, std::string>;

// Checks that `path` names an existing regular file (links followed) and measures it. Never
// opens the file. A path holding a NUL byte names no file. Other file-system failures throw std::filesystem::filesystem_error.
LORVANE_API FileInfo getFileInfo(const std::string& path);
