// Console bars, log lines and readable sizes: the exact characters written to standard output.

#include <gtest/gtest.h>

#include <climits>
#include <iostream>
#include <sstream>
#include <string>

#include "report/progress.h"
#include "test_support.h"

namespace {

std::string cells(int filled, int empty) {
  return std::string(filled, '=') + std::string(empty, ' ');
}

std::string draw_bar(int current, int total, const std::string& label) {
  Capture out(std::cout);
  progress_bar(current, total, label);
  return out.text();
}

std::string draw_file_bar(uint64_t done, uint64_t total, uint64_t tokens) {
  Capture out(std::cout);
  file_progress_bar(done, total, tokens);
  return out.text();
}

// ---------------------------------------------------------------------------------------------
// progress_bar

struct BarCase {
  int current, total;
  std::string expected;
};

class ProgressBarTest : public testing::TestWithParam<BarCase> {};

TEST_P(ProgressBarTest, DrawsExactText) {
  const BarCase& c = GetParam();
  EXPECT_EQ(draw_bar(c.current, c.total, "BPE Trainer"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgressBarTest,
    testing::Values(
        BarCase{25, 100, "\rBPE Trainer | [" + cells(12, 38) + "]  25% (25/100)"},
        // Single precision: 0.57f * 100 rounds to 57 (double gives 56.999... -> 56).
        BarCase{57, 100, "\rBPE Trainer | [" + cells(28, 22) + "]  57% (57/100)"},
        BarCase{29, 100, "\rBPE Trainer | [" + cells(14, 36) + "]  29% (29/100)"},
        BarCase{0, 100, "\rBPE Trainer | [" + cells(0, 50) + "]   0% (0/100)"},
        BarCase{100, 100, "\rBPE Trainer | [" + cells(50, 0) + "] 100% (100/100)"},
        BarCase{150, 100, "\rBPE Trainer | [" + cells(50, 0) + "] 150% (150/100)"},
        BarCase{3, 3, "\rBPE Trainer | [" + cells(50, 0) + "] 100% (3/3)"},
        BarCase{1, 3, "\rBPE Trainer | [" + cells(16, 34) + "]  33% (1/3)"},
        BarCase{7999, 8000, "\rBPE Trainer | [" + cells(49, 1) + "]  99% (7999/8000)"},
        // A zero total counts as nothing done.
        BarCase{0, 0, "\rBPE Trainer | [" + cells(0, 50) + "]   0% (0/0)"},
        BarCase{5, 0, "\rBPE Trainer | [" + cells(0, 50) + "]   0% (5/0)"},
        // A negative fraction fills nothing; the percent is written as it is.
        BarCase{-5, 100, "\rBPE Trainer | [" + cells(0, 50) + "]  -5% (-5/100)"},
        // A percent beyond int saturates instead of overflowing the conversion.
        BarCase{INT_MAX, 1, "\rBPE Trainer | [" + cells(50, 0) + "] 2147483647% (2147483647/1)"},
        BarCase{INT_MIN, 1, "\rBPE Trainer | [" + cells(0, 50) + "] -2147483648% (-2147483648/1)"}),
    [](const testing::TestParamInfo<BarCase>& info) {
      const int current = info.param.current;
      return (current < 0 ? "Minus" + std::to_string(-static_cast<long long>(current))
                          : std::to_string(current)) +
             "Of" + std::to_string(info.param.total);
    });

TEST(ProgressBar, UsesLabelAsGivenAndFlushes) {
  Capture out(std::cout);
  progress_bar(1, 2, "");
  EXPECT_EQ(out.text(), "\r | [" + cells(25, 25) + "]  50% (1/2)");
  EXPECT_GE(out.flushes(), 1);
}

TEST(ProgressBar, LeavesFieldWidthOfLaterOutputAlone) {
  Capture out(std::cout);
  progress_bar(1, 2, "x");
  std::cout << 7 << '|' << 8;
  EXPECT_EQ(out.text(), "\rx | [" + cells(25, 25) + "]  50% (1/2)7|8");
}

// ---------------------------------------------------------------------------------------------
// file_progress_bar

struct FileBarCase {
  unsigned long done, total, tokens;
  std::string expected;
};

class FileProgressBarTest : public testing::TestWithParam<FileBarCase> {};

TEST_P(FileProgressBarTest, DrawsExactText) {
  const FileBarCase& c = GetParam();
  EXPECT_EQ(draw_file_bar(c.done, c.total, c.tokens), c.expected);
}

const std::string kFilePrefix = "\rPre-Tokenizing  | [";

INSTANTIATE_TEST_SUITE_P(
    Cases, FileProgressBarTest,
    testing::Values(
        // Arrow head right after the filled part.
        FileBarCase{
            3ul << 20, 10ul << 20, 2900000,
            kFilePrefix + cells(15, 0) + ">" + cells(0, 34) + "]  30% (3/10 MB) Tokens: 2900000"},
        FileBarCase{0, 100, 0, kFilePrefix + ">" + cells(0, 49) + "]   0% (0/0 MB) Tokens: 0"},
        FileBarCase{57, 100, 12,
                    kFilePrefix + cells(28, 0) + ">" + cells(0, 21) + "]  57% (0/0 MB) Tokens: 12"},
        FileBarCase{29, 100, 1,
                    kFilePrefix + cells(14, 0) + ">" + cells(0, 35) + "]  29% (0/0 MB) Tokens: 1"},
        // A full bar has no arrow head.
        FileBarCase{100, 100, 7, kFilePrefix + cells(50, 0) + "] 100% (0/0 MB) Tokens: 7"},
        FileBarCase{99, 100, 7, kFilePrefix + cells(49, 0) + ">" + "]  99% (0/0 MB) Tokens: 7"},
        // Whole mebibytes are truncated, not rounded.
        FileBarCase{1048575, 1048576, 5,
                    kFilePrefix + cells(49, 0) + ">" + "]  99% (0/1 MB) Tokens: 5"},
        FileBarCase{1048575, 2097152, 5,
                    kFilePrefix + cells(24, 0) + ">" + cells(0, 25) + "]  49% (0/2 MB) Tokens: 5"},
        FileBarCase{1048576, 1048576, 1048576,
                    kFilePrefix + cells(50, 0) + "] 100% (1/1 MB) Tokens: 1048576"},
        FileBarCase{(7ul << 20) - 1, (7ul << 20) - 1, 3,
                    kFilePrefix + cells(50, 0) + "] 100% (6/6 MB) Tokens: 3"},
        // An empty file: the zero total draws as 0 %.
        FileBarCase{0, 0, 0, kFilePrefix + ">" + cells(0, 49) + "]   0% (0/0 MB) Tokens: 0"}),
    [](const testing::TestParamInfo<FileBarCase>& info) {
      return std::to_string(info.param.done) + "Of" + std::to_string(info.param.total);
    });

TEST(FileProgressBar, Flushes) {
  Capture out(std::cout);
  file_progress_bar(4, 8, 3);
  EXPECT_EQ(out.text(),
            kFilePrefix + cells(25, 0) + ">" + cells(0, 24) + "]  50% (0/0 MB) Tokens: 3");
  EXPECT_GE(out.flushes(), 1);
}

TEST(FileProgressBar, LargeTotalsAndTokenCounts) {
  const uint64_t total = 100ull << 30;  // 100 GiB: counts beyond 32 bits
  EXPECT_EQ(draw_file_bar(total / 4, total, 5000000000ull),
            kFilePrefix + cells(12, 0) + ">" + cells(0, 37) +
                "]  25% (25600/102400 MB) Tokens: 5000000000");
}

// ---------------------------------------------------------------------------------------------
// progress_log

TEST(ProgressLog, BlanksTheLineThenWritesOneLogLine) {
  Capture out(std::cout);
  progress_log("reading corpus.txt");
  progress_log("");
  const std::string blank = "\r" + std::string(120, ' ') + "\r";
  EXPECT_EQ(out.text(), blank + "[LOG] reading corpus.txt\n" + blank + "[LOG] \n");
}

// ---------------------------------------------------------------------------------------------
// getReadableFileSize

struct SizeCase {
  unsigned long bytes;
  double value;
  std::string unit;
};

class ReadableSizeTest : public testing::TestWithParam<SizeCase> {};

TEST_P(ReadableSizeTest, ValueAndUnit) {
  const SizeCase& c = GetParam();
  const ReadableSize size = getReadableFileSize(c.bytes);
  EXPECT_EQ(size.first, c.value) << c.bytes;  // exact: the value is never rounded
  EXPECT_EQ(size.second, c.unit) << c.bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadableSizeTest,
    testing::Values(SizeCase{0, 0.0, "B"}, SizeCase{1, 1.0, "B"}, SizeCase{1023, 1023.0, "B"},
                    SizeCase{1024, 1.0, "KB"}, SizeCase{1535, 1.4990234375, "KB"},
                    SizeCase{1536, 1.5, "KB"}, SizeCase{1048575, 1023.9990234375, "KB"},
                    SizeCase{1048576, 1.0, "MB"},
                    SizeCase{1073741823, 1024.0 - 1.0 / 1048576, "MB"},
                    SizeCase{1ul << 30, 1.0, "GB"}, SizeCase{3ul << 39, 1.5, "TB"},
                    SizeCase{1ul << 40, 1.0, "TB"}, SizeCase{1ul << 50, 1024.0, "TB"},
                    // No unit above TB; the largest count converts to 2^64 as a double.
                    SizeCase{ULONG_MAX, 16777216.0, "TB"}),
    [](const testing::TestParamInfo<SizeCase>& info) {
      return "Bytes" + std::to_string(info.param.bytes);
    });

}  // namespace
