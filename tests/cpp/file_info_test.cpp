// The corpus file check: which paths are refused with which text, and the size of those accepted.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <variant>

#include "console_text.h"
#include "corpus/utf8_reader.h"

namespace {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::random_device seed;
    path_ = fs::temp_directory_path() / ("lorvane_file_info_" + std::to_string(seed()));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string file(const std::string& name, size_t bytes) const {
    const fs::path p = path_ / name;
    std::ofstream(p, std::ios::binary) << std::string(bytes, 'x');
    return p.string();
  }
  std::string path(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

std::string error_of(const FileInfo& info) {
  const auto* error = std::get_if<std::string>(&info);
  return error ? *error : "<accepted>";
}

ReadableSize size_of(const FileInfo& info) {
  const auto* size = std::get_if<ReadableSize>(&info);
  return size ? *size : ReadableSize{-1.0, "<refused>"};
}

class FileInfoTest : public testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(FileInfoTest, MissingPathsDoNotExist) {
  EXPECT_EQ(error_of(getFileInfo(dir_.path("absent.txt"))), expected::kFileMissing);
  EXPECT_EQ(error_of(getFileInfo("")), expected::kFileMissing);
  // A regular file's name used as if it were a directory.
  const std::string file = dir_.file("plain.txt", 3);
  EXPECT_EQ(error_of(getFileInfo(file + "/inner.txt")), expected::kFileMissing);
}

TEST_F(FileInfoTest, ThingsThatAreNotRegularFilesAreRefused) {
  EXPECT_EQ(error_of(getFileInfo(dir_.path(""))), expected::kFileNotRegular);
  EXPECT_EQ(error_of(getFileInfo(fs::temp_directory_path().string())), expected::kFileNotRegular);
  EXPECT_EQ(error_of(getFileInfo("/dev/null")), expected::kFileNotRegular);
  const std::string fifo = dir_.path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(error_of(getFileInfo(fifo)), expected::kFileNotRegular);
  const std::string link_to_dir = dir_.path("dir_link");
  fs::create_directory_symlink(fs::temp_directory_path(), link_to_dir);
  EXPECT_EQ(error_of(getFileInfo(link_to_dir)), expected::kFileNotRegular);
}

TEST_F(FileInfoTest, SymbolicLinksAreFollowed) {
  const std::string dangling = dir_.path("dangling");
  fs::create_symlink(dir_.path("nowhere.txt"), dangling);
  EXPECT_EQ(error_of(getFileInfo(dangling)), expected::kFileMissing);

  const std::string target = dir_.file("target.txt", 1536);
  const std::string link = dir_.path("link");
  fs::create_symlink(target, link);
  EXPECT_EQ(size_of(getFileInfo(link)), (ReadableSize{1.5, "KB"}));  // the target's size
}

TEST_F(FileInfoTest, RegularFilesAreMeasured) {
  EXPECT_EQ(size_of(getFileInfo(dir_.file("empty.txt", 0))), (ReadableSize{0.0, "B"}));
  EXPECT_EQ(size_of(getFileInfo(dir_.file("1023.txt", 1023))), (ReadableSize{1023.0, "B"}));
  EXPECT_EQ(size_of(getFileInfo(dir_.file("1535.txt", 1535))), (ReadableSize{1.4990234375, "KB"}));
  EXPECT_EQ(size_of(getFileInfo(dir_.file("1536.txt", 1536))), (ReadableSize{1.5, "KB"}));
  EXPECT_EQ(size_of(getFileInfo(dir_.file("mib.txt", 1048576))), (ReadableSize{1.0, "MB"}));
}

TEST_F(FileInfoTest, RelativePathsStartAtTheWorkingDirectory) {
  dir_.file("relative.txt", 1024);
  const fs::path before = fs::current_path();
  fs::current_path(dir_.path(""));
  const FileInfo info = getFileInfo("relative.txt");
  fs::current_path(before);
  EXPECT_EQ(size_of(info), (ReadableSize{1.0, "KB"}));
}

TEST_F(FileInfoTest, AFileWithoutReadPermissionIsStillMeasured) {
  const std::string file = dir_.file("locked.txt", 2048);
  fs::permissions(file, fs::perms::none);
  EXPECT_EQ(size_of(getFileInfo(file)), (ReadableSize{2.0, "KB"}));
}

TEST_F(FileInfoTest, AnUnsearchableDirectoryOnTheWayRaises) {
  if (geteuid() == 0) GTEST_SKIP() << "root may search any directory";
  const std::string file = dir_.file("hidden.txt", 10);
  fs::permissions(dir_.path(""), fs::perms::none);
  EXPECT_THROW(getFileInfo(file), fs::filesystem_error);
}

}  // namespace
