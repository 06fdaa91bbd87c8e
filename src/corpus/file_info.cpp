#include "corpus/file_info.h"

#include <filesystem>

#include "common/messages.h"

FileInfo getFileInfo(const std::string& path) {
  namespace fs = std::filesystem;
  // The system cuts a path at its first NUL: such a path names no file, not the file it cuts to.
  if (path.find('\0') != std::string::npos) return std::string(message::kFileMissing);
  const fs::file_type type = fs::status(path).type();
  if (type == fs::file_type::not_found || type == fs::file_type::none) {
    return std::string(message::kFileMissing);
  }
  if (type != fs::file_type::regular) return std::string(message::kFileNotRegular);
  return getReadableFileSize(fs::file_size(path));
}
