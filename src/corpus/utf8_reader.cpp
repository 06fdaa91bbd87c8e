#include "corpus/utf8_reader.h"

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

namespace {

struct AppendUnits {
  std::vector<unsigned short>& out;
  void operator()(uint16_t unit) { out.push_back(unit); }
  uint64_t units() const { return out.size(); }
};

}  // namespace

void utf8_tokens_fromfile(std::ifstream& file, std::vector<unsigned short>& units) {
  const uint64_t size = corpus::stream_size(file);
  // Each byte yields at most two units, and one closing unit follows: no reallocation.
  // Refused with the standard library's own text for a reservation past max_size().
  if (size > (units.max_size() - units.size() - 1) / 2) throw std::length_error("vector::reserve");
  units.reserve(units.size() + 2 * size + 1);
  AppendUnits sink{units};
  Interrupt never;
  corpus::stream_utf8_units(file, size, sink, never);
  units.push_back(kBoundary);
}
