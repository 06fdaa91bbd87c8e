#include "report/progress.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <iostream>
#include <limits>

namespace {

constexpr int kCells = 50;

// The bar's fraction in single precision, as drawn: a zero total counts as nothing done.
struct Fill {
  int cells;
  int percent;
};

// Truncates toward zero like a plain conversion, but saturates where the value lies beyond int
// (a current far above the total): converting such a float directly is undefined.
int truncate_to_int(float value) {
  constexpr float kLimit = 2147483648.0f;  // 2^31, exactly representable
  if (value >= kLimit) return std::numeric_limits<int>::max();
  if (value < -kLimit) return std::numeric_limits<int>::min();
  return static_cast<int>(value);
}

Fill fill_of(float done, float total) {
  const float fraction = total == 0.0f ? 0.0f : done / total;
  const float cells = fraction * static_cast<float>(kCells);
  const float percent = fraction * 100.0f;
  return {truncate_to_int(cells), truncate_to_int(percent)};
}

// Appends `value` in decimal.
void append_number(std::string& line, long long value) {
  std::array<char, 24> digits{};
  line.append(digits.data(), std::to_chars(digits.begin(), digits.end(), value).ptr);
}

// Appends the percentage right-aligned in three columns, then "% (".
void append_percent(std::string& line, int percent) {
  const size_t start = line.size();
  append_number(line, percent);
  const size_t width = line.size() - start;
  if (width < 3) line.insert(start, 3 - width, ' ');
  line += "% (";
}

}  // namespace

ReadableSize getReadableFileSize(unsigned long bytes) {
  static constexpr std::array<const char*, 5> kUnits = {"B", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (unit + 1 < kUnits.size() && value >= 1024.0) {
    value /= 1024.0;
    ++unit;
  }
  return {value, kUnits[unit]};
}

void progress_bar(int current, int total, const std::string& label) {
  const Fill fill = fill_of(static_cast<float>(current), static_cast<float>(total));
  const int filled = fill.cells > 0 ? std::min(fill.cells, kCells) : 0;
  // Drawn once per merge: the line is built here and handed over in one write and one flush.
  std::string line;
  line.reserve(label.size() + 96);
  line += '\r';
  line += label;
  line += " | [";
  line.append(static_cast<size_t>(filled), '=');
  line.append(static_cast<size_t>(kCells - filled), ' ');
  line += "] ";
  append_percent(line, fill.percent);
  append_number(line, current);
  line += '/';
  append_number(line, total);
  line += ')';
  std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
  std::cout.flush();
}

void file_progress_bar(uint64_t done, uint64_t total, uint64_t tokens) {
  constexpr uint64_t kMiB = 1048576;
  const Fill fill = fill_of(static_cast<float>(done), static_cast<float>(total));
  std::string bar(kCells, ' ');
  for (int i = 0; i < kCells; ++i) {
    if (i < fill.cells)
      bar[i] = '=';
    else if (i == fill.cells)
      bar[i] = '>';
  }
  std::string percent;
  append_percent(percent, fill.percent);
  std::cout << "\rPre-Tokenizing  | [" << bar << "] " << percent;
  std::cout << done / kMiB << '/' << total / kMiB << " MB) Tokens: " << tokens << std::flush;
}

void progress_log(const std::string& message) {
  std::cout << '\r' << std::string(120, ' ') << "\r[LOG] " << message << '\n';
}
