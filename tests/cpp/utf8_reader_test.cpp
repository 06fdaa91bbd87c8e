// The corpus reader: code units, errors and bars for files of every shape, including files read
// in several chunks with characters and malformed sequences cut by the chunk edges.

#include <gtest/gtest.h>
#include <utf8.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "corpus/utf8_reader.h"
#include "report/progress.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using Units = std::vector<unsigned short>;

// The reader reads 4 MiB at a time, so its chunk edges lie at multiples of this in the file.
constexpr size_t kChunk = size_t{1} << 22;
constexpr uint64_t kMiB = 1048576;

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// UTF-8 of one code point, also for surrogates and values the checked encoder refuses.
std::string encode_raw(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    s.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return s;
}

class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    std::random_device seed;
    path_ = fs::temp_directory_path() / ("lorvane_reader_" + std::to_string(seed()) + ".txt");
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TempFile() {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::string path() const { return path_.string(); }

 private:
  fs::path path_;
};

enum class Failure { kNone, kInvalidUtf8, kInvalidCodePoint, kNotEnoughRoom, kOther };

const char* name_of(Failure f) {
  switch (f) {
    case Failure::kNone:
      return "none";
    case Failure::kInvalidUtf8:
      return "utf8::invalid_utf8";
    case Failure::kInvalidCodePoint:
      return "utf8::invalid_code_point";
    case Failure::kNotEnoughRoom:
      return "utf8::not_enough_room";
    case Failure::kOther:
      return "other exception";
  }
  return "?";
}

// What one reading produced: the units (including what was there before), the text on standard
// output and how it ended.
struct Reading {
  Units units;
  std::string out;
  Failure failure = Failure::kNone;
};

template <class Read>
Reading classify(Units start, Read read) {
  Reading r;
  r.units = std::move(start);
  Capture out(std::cout);
  try {
    read(r.units);
  } catch (const utf8::invalid_utf8&) {
    r.failure = Failure::kInvalidUtf8;
  } catch (const utf8::invalid_code_point&) {
    r.failure = Failure::kInvalidCodePoint;
  } catch (const utf8::not_enough_room&) {
    r.failure = Failure::kNotEnoughRoom;
  } catch (const std::exception&) {
    r.failure = Failure::kOther;
  }
  r.out = out.text();
  return r;
}

// The reader under test on a file holding `content`.
Reading read_file(const std::string& content, Units start = {}) {
  TempFile file(content);
  std::ifstream in(file.path(), std::ios::binary);
  return classify(std::move(start), [&](Units& units) { utf8_tokens_fromfile(in, units); });
}

std::string file_bar(uint64_t done, uint64_t total, uint64_t tokens) {
  Capture out(std::cout);
  file_progress_bar(done, total, tokens);
  return out.text();
}

// The plain way: decode the whole buffer at once, one code point after the other, and report
// after each mebibyte decoded and once at the end.
Reading read_whole(const std::string& content, Units start = {}) {
  return classify(std::move(start), [&](Units& units) {
    auto it = content.begin();
    uint64_t last_report = 0;
    while (it != content.end()) {
      const auto unit = static_cast<uint16_t>(utf8::next(it, content.end()));
      if (unit == 0x09 || unit == 0x0A || unit == 0x0D || unit == 0x20) {
        units.push_back(0x0000);
        units.push_back(0x0120);
      } else {
        units.push_back(unit);
      }
      const auto consumed = static_cast<uint64_t>(it - content.begin());
      if (consumed - last_report >= kMiB) {
        std::cout << file_bar(consumed, content.size(), units.size());
        last_report = consumed;
      }
    }
    std::cout << file_bar(content.size(), content.size(), units.size()) << '\n';
    units.push_back(0x0000);
  });
}

void expect_same(const Reading& actual, const Reading& expected) {
  EXPECT_EQ(name_of(actual.failure), std::string(name_of(expected.failure)));
  ASSERT_EQ(actual.units.size(), expected.units.size());
  size_t first_difference = 0;
  while (first_difference < actual.units.size() &&
         actual.units[first_difference] == expected.units[first_difference]) {
    ++first_difference;
  }
  EXPECT_EQ(first_difference, actual.units.size()) << "units differ at index " << first_difference;
  EXPECT_EQ(actual.out, expected.out);
}

// ---------------------------------------------------------------------------------------------
// Small files: the units

struct UnitsCase {
  std::string name;
  std::string content;
  Units units;
};

class ReaderUnitsTest : public testing::TestWithParam<UnitsCase> {};

TEST_P(ReaderUnitsTest, Units) {
  const Reading r = read_file(GetParam().content);
  EXPECT_EQ(name_of(r.failure), std::string("none"));
  EXPECT_EQ(r.units, GetParam().units);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReaderUnitsTest,
    testing::Values(
        UnitsCase{"Example",
                  bytes({0x61, 0x62, 0x20, 0x63, 0x64, 0x0A}),
                  {0x61, 0x62, 0, 0x120, 0x63, 0x64, 0, 0x120, 0}},
        UnitsCase{"Empty", "", {0}}, UnitsCase{"CrLf", "\r\n", {0, 0x120, 0, 0x120, 0}},
        UnitsCase{"TabAndTwoSpaces", "a\t  b", {'a', 0, 0x120, 0, 0x120, 0, 0x120, 'b', 0}},
        UnitsCase{"VerticalTabAndFormFeedAreNotWhitespace", "a\v\fb", {'a', 0x0B, 0x0C, 'b', 0}},
        UnitsCase{"ByteOrderMarkIsKept", bytes({0xEF, 0xBB, 0xBF, 'a'}), {0xFEFF, 'a', 0}},
        UnitsCase{"NulIsABoundaryWithoutMarker", std::string("a\0b", 3), {'a', 0, 'b', 0}},
        UnitsCase{"TwoByteAndThreeByte",
                  encode_raw(0xE9) + encode_raw(0x20AC) + encode_raw(0xFFFF),
                  {0xE9, 0x20AC, 0xFFFF, 0}},
        UnitsCase{"MarkerCharacterItself", encode_raw(0x120) + "a", {0x120, 'a', 0}},
        UnitsCase{"FourByteCutTo16Bits", encode_raw(0x1F600), {0xF600, 0}},
        UnitsCase{"U10020CountsAsSpace", "a" + encode_raw(0x10020) + "b", {'a', 0, 0x120, 'b', 0}},
        UnitsCase{"U10000CountsAsNul", "a" + encode_raw(0x10000) + "b", {'a', 0, 'b', 0}},
        UnitsCase{"SurrogateRangeUnitsAreAccepted",
                  encode_raw(0x1D800) + encode_raw(0x2DFFF),
                  {0xD800, 0xDFFF, 0}},
        UnitsCase{"LargestCodePoint", encode_raw(0x10FFFF), {0xFFFF, 0}}),
    [](const testing::TestParamInfo<UnitsCase>& info) { return info.param.name; });

TEST(Reader, UnitsAlreadyInTheVectorStayInFront) {
  const Reading r = read_file("b c", {7, 8});
  EXPECT_EQ(r.units, (Units{7, 8, 'b', 0, 0x120, 'c', 0}));
  // The bar counts every unit in the vector.
  EXPECT_EQ(r.out, file_bar(3, 3, 6) + "\n");
}

// ---------------------------------------------------------------------------------------------
// Small files: malformed input

struct MalformedCase {
  std::string name;
  std::string content;
  Failure failure;
  Units units_before;  // appended before the failure; they stay
};

class ReaderMalformedTest : public testing::TestWithParam<MalformedCase> {};

TEST_P(ReaderMalformedTest, RaisesAndDrawsNothing) {
  const MalformedCase& c = GetParam();
  const Reading r = read_file(c.content);
  EXPECT_EQ(name_of(r.failure), std::string(name_of(c.failure)));
  EXPECT_EQ(r.units, c.units_before);
  // Under a mebibyte no bar was drawn, and the failure writes no line end.
  EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReaderMalformedTest,
    testing::Values(
        MalformedCase{"OverlongNul", "a" + bytes({0xC0, 0x80}), Failure::kInvalidUtf8, {'a'}},
        MalformedCase{"OverlongThreeByte", bytes({0xE0, 0x80, 0xAF}), Failure::kInvalidUtf8, {}},
        MalformedCase{"LoneContinuationByte",
                      "ab " + bytes({0x80}),
                      Failure::kInvalidUtf8,
                      {'a', 'b', 0, 0x120}},
        MalformedCase{"ByteF8", bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), Failure::kInvalidUtf8, {}},
        MalformedCase{"ByteFF", bytes({'x', 0xFF}), Failure::kInvalidUtf8, {'x'}},
        MalformedCase{"MissingContinuation", bytes({0xE2, 0x82, 0x41}), Failure::kInvalidUtf8, {}},
        MalformedCase{
            "EncodedSurrogate", bytes({'a', 0xED, 0xA0, 0x80}), Failure::kInvalidCodePoint, {'a'}},
        MalformedCase{
            "AboveU10FFFF", bytes({0xF4, 0x90, 0x80, 0x80}), Failure::kInvalidCodePoint, {}},
        MalformedCase{"TruncatedAtEnd", "z" + bytes({0xE2, 0x82}), Failure::kNotEnoughRoom, {'z'}},
        MalformedCase{"LoneLeadAtEnd", bytes({0xF0}), Failure::kNotEnoughRoom, {}}),
    [](const testing::TestParamInfo<MalformedCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Bars

const std::string kFilePrefix = "\rPre-Tokenizing  | [";

TEST(ReaderBar, EmptyFileDrawsZeroPercentOnce) {
  const Reading r = read_file("");
  EXPECT_EQ(r.out, kFilePrefix + ">" + std::string(49, ' ') + "]   0% (0/0 MB) Tokens: 0\n");
}

TEST(ReaderBar, SmallFileDrawsOnlyTheFinalBar) {
  const Reading r = read_file("ab cd\n");
  EXPECT_EQ(r.out, kFilePrefix + std::string(50, '=') + "] 100% (0/0 MB) Tokens: 8\n");
}

TEST(ReaderBar, OneMebibyteFileDrawsTwoFullBars) {
  const Reading r = read_file(std::string(kMiB, 'a'));
  const std::string full = kFilePrefix + std::string(50, '=') + "] 100% (1/1 MB) Tokens: 1048576";
  EXPECT_EQ(r.out, full + full + "\n");
  EXPECT_EQ(r.units.size(), kMiB + 1);
}

TEST(ReaderBar, OneByteMoreReportsTheFirstMebibyteThenTheEnd) {
  const Reading r = read_file(std::string(kMiB + 1, 'a'));
  EXPECT_EQ(r.out, kFilePrefix + std::string(49, '=') + ">" + "]  99% (1/1 MB) Tokens: 1048576" +
                       kFilePrefix + std::string(50, '=') + "] 100% (1/1 MB) Tokens: 1048577\n");
}

TEST(ReaderBar, ErrorAfterTheFirstMebibyteLeavesTheBarWithoutLineEnd) {
  const Reading r = read_file(std::string(kMiB + 10, 'a') + bytes({0xFF}) + "bc");
  EXPECT_EQ(name_of(r.failure), std::string("utf8::invalid_utf8"));
  EXPECT_EQ(r.out, file_bar(kMiB, kMiB + 13, kMiB));
  EXPECT_EQ(r.units.size(), kMiB + 10);
}

TEST(ReaderBar, MultiByteCharactersReportWhenTheMebibyteIsPassed) {
  // Three-byte characters: 1 MiB is not a multiple of 3, so the report comes at the first
  // character end past it (1048578 bytes, 349526 units).
  std::string content;
  for (int i = 0; i < 400000; ++i) content += encode_raw(0x20AC);
  const Reading r = read_file(content);
  EXPECT_EQ(r.out, file_bar(1048578, 1200000, 349526) + file_bar(1200000, 1200000, 400000) + "\n");
}

// ---------------------------------------------------------------------------------------------
// Files read in several chunks

// Exactly `bytes_wanted` bytes of valid random text: whitespace and characters of every length,
// four-byte ones included, padded with ASCII where the next character would not fit.
std::string filler(std::mt19937& rng, size_t bytes_wanted) {
  static const std::vector<uint32_t> kPool = {'a',   'b',    'c',    'Z',     ' ',     '\n',
                                              '\t',  '\r',   0x00,   0xE9,    0x3B1,   0x20AC,
                                              0x120, 0xFEFF, 0xD7FF, 0x1F600, 0x10020, 0x1D800};
  std::string s;
  while (true) {
    const std::string piece = encode_raw(kPool[rng() % kPool.size()]);
    if (s.size() + piece.size() > bytes_wanted) break;
    s += piece;
  }
  s.resize(bytes_wanted, 'q');
  return s;
}

// Puts `piece` so that it starts `before` bytes ahead of every chunk edge below `size`, with
// random text between and after, `size` bytes in all.
std::string straddling_every_edge(const std::string& piece, size_t before, size_t size,
                                  uint32_t seed) {
  std::mt19937 rng(seed);
  std::string content;
  for (size_t edge = kChunk; edge < size; edge += kChunk) {
    content += filler(rng, edge - before - content.size());
    content += piece;
  }
  content += filler(rng, size - content.size());
  return content;
}

struct ChunkCase {
  std::string name;
  std::string piece;
  size_t before;  // bytes of the piece in front of each edge
  std::string tail = "";
};

class ReaderChunkTest : public testing::TestWithParam<ChunkCase> {};

TEST_P(ReaderChunkTest, SameAsDecodingTheWholeFile) {
  const ChunkCase& c = GetParam();
  const std::string content =
      straddling_every_edge(c.piece, c.before, 2 * kChunk + 300000, 7) + c.tail;
  const Reading actual = read_file(content, {0xABCD});
  const Reading expected = read_whole(content, {0xABCD});
  expect_same(actual, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReaderChunkTest,
    testing::Values(ChunkCase{"TwoByteOneBefore", encode_raw(0xE9), 1},
                    ChunkCase{"ThreeByteOneBefore", encode_raw(0x20AC), 1},
                    ChunkCase{"ThreeByteTwoBefore", encode_raw(0x20AC), 2},
                    ChunkCase{"FourByteOneBefore", encode_raw(0x1F600), 1},
                    ChunkCase{"FourByteTwoBefore", encode_raw(0x1F600), 2},
                    ChunkCase{"FourByteThreeBefore", encode_raw(0x1F600), 3},
                    ChunkCase{"FourByteSpaceThreeBefore", encode_raw(0x10020), 3},
                    ChunkCase{"WhitespaceRightBeforeEdge", " \r\n", 2},
                    // Malformed sequences cut by an edge raise what whole decoding raises.
                    ChunkCase{"MissingContinuationAcrossEdge", bytes({0xE2, 0x82, 0x41}), 2},
                    ChunkCase{"MissingContinuationAtEdge", bytes({0xF0, 0x9F, 0x98, 0x41}), 3},
                    ChunkCase{"SurrogateAcrossEdge", bytes({0xED, 0xA0, 0x80}), 1},
                    ChunkCase{"OverlongAcrossEdge", bytes({0xC0, 0x80}), 1},
                    ChunkCase{"TruncatedAtTheVeryEnd", "x", 0, bytes({0xF0, 0x9F, 0x98})}),
    [](const testing::TestParamInfo<ChunkCase>& info) { return info.param.name; });

TEST(ReaderChunks, FileOfExactlyTwoChunksEndingInATruncatedSequence) {
  std::mt19937 rng(11);
  const std::string content = filler(rng, 2 * kChunk - 2) + bytes({0xE2, 0x82});
  const Reading expected = read_whole(content);
  EXPECT_EQ(name_of(expected.failure), std::string("utf8::not_enough_room"));
  expect_same(read_file(content), expected);
}

TEST(ReaderChunks, AsciiOnlyFileOfSeveralChunks) {
  std::string content(2 * kChunk + 5, 'a');
  for (size_t i = 0; i < content.size(); i += 7) content[i] = ' ';
  expect_same(read_file(content), read_whole(content));
}

// ---------------------------------------------------------------------------------------------
// Short reads

TEST(ReaderShortRead, AFileDeliveringLessThanItsSizeRaises) {
  // Kernel attribute files claim a page of size and deliver a few bytes.
  const std::string path = "/sys/kernel/mm/transparent_hugepage/enabled";
  std::ifstream probe(path, std::ios::binary);
  if (!probe) GTEST_SKIP() << path << " is not readable here";
  probe.seekg(0, std::ios::end);
  const std::streamoff claimed = probe.tellg();
  probe.seekg(0, std::ios::beg);
  const std::string delivered((std::istreambuf_iterator<char>(probe)),
                              std::istreambuf_iterator<char>());
  if (claimed <= static_cast<std::streamoff>(delivered.size())) {
    GTEST_SKIP() << path << " delivers its full size";
  }
  std::ifstream in(path, std::ios::binary);
  Units units;
  Capture out(std::cout);
  EXPECT_THROW(utf8_tokens_fromfile(in, units), std::runtime_error);
}

}  // namespace
