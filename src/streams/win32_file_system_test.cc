// The Windows file system layer on real files: marks, resolved paths,
// listings and the error numbers it reports.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/test_files.h"
#include "streams/file_system.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

class Win32FileSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_test_directory("ostrel-os-test-" + std::to_string(GetCurrentProcessId()));
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::vector<std::string> names(const fs::path& dir) {
    std::vector<std::string> found;
    const Status status = os_file_system().names_in(dir, "", found);
    EXPECT_TRUE(status.ok()) << (status.ok() ? 0 : status.error().code);
    return found;
  }

  fs::path dir_;
};

// Where the volume keeps named streams the mark is one; elsewhere (Wine)
// the file has none, and no file named "t:ostrel.saved" is made beside it.
TEST_F(Win32FileSystem, MarksAreNamedStreamsOrNone) {
  write_file(dir_ / "t", "text");
  std::unique_ptr<File> file;
  ASSERT_TRUE(os_file_system().open_for_update(dir_ / "t", file, true).ok());
  std::string mark = "left";
  bool kept = true;
  ASSERT_TRUE(file->read_mark(mark, kept).ok());
  EXPECT_EQ(mark, "");
  EXPECT_EQ(file->write_mark("saved 1").ok(), kept);
  EXPECT_EQ(names(dir_), (std::vector<std::string>{"t", "tmp"}));
  ASSERT_TRUE(file->read_mark(mark, kept).ok());
  EXPECT_EQ(mark, kept ? "saved 1" : "");
  EXPECT_TRUE(file->write_mark("").ok());
  ASSERT_TRUE(file->read_mark(mark, kept).ok());
  EXPECT_EQ(mark, "");
  EXPECT_EQ(read_file(dir_ / "t"), "text");
}

TEST_F(Win32FileSystem, RealPathIsTheFilesOwn) {
  fs::create_directory(dir_ / "sub");
  write_file(dir_ / "t", "text");
  std::unique_ptr<File> file;
  ASSERT_TRUE(os_file_system().open_for_update(dir_ / "sub" / ".." / "t", file, true).ok());
  fs::path real;
  ASSERT_TRUE(file->real_path(real).ok());
  EXPECT_EQ(real.wstring(), fs::canonical(dir_ / "t").wstring());
}

// A folder whose path is 260 characters or more, plainly and in the long
// form (\\?\...), lists its own names, and a file there is named in the
// long form; a folder that is missing fails.
TEST_F(Win32FileSystem, ListsLongPathsAndFailsOnMissingFolders) {
  fs::path deep = L"\\\\?\\" + fs::absolute(dir_).wstring();
  for (const char level : {'1', '2', '3', '4', '5', '6'}) {
    deep /= "folder-" + std::string(40, level);
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
  }
  write_file(deep / "ostrel-a", "");
  write_file(deep / "other", "");
  ASSERT_GT(deep.wstring().size(), 4U + 260U);
  for (const fs::path& dir : {deep, fs::path(deep.wstring().substr(4))}) {
    std::vector<std::string> found;
    EXPECT_TRUE(os_file_system().names_in(dir, "ostrel-", found).ok());
    EXPECT_EQ(found, std::vector<std::string>{"ostrel-a"});
  }
  // The real path of a file there keeps the long form, which opens it.
  std::unique_ptr<File> file;
  fs::path real;
  ASSERT_TRUE(os_file_system().open_for_update(deep / "other", file, true).ok());
  ASSERT_TRUE(file->real_path(real).ok());
  file.reset();
  EXPECT_TRUE(real.wstring().starts_with(L"\\\\?\\")) << real;
  EXPECT_EQ(real.filename(), "other");
  // std::filesystem cannot remove so long a path either.
  for (const char* name : {"ostrel-a", "other"}) DeleteFileW((deep / name).c_str());
  for (; deep.filename().string().starts_with("folder-"); deep = deep.parent_path()) {
    RemoveDirectoryW(deep.c_str());
  }
  std::vector<std::string> found;
  const Status missing = os_file_system().names_in(dir_ / "missing", "", found);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().operation, Operation::list);
  EXPECT_EQ(missing.error().code, ERROR_PATH_NOT_FOUND);
}

// Windows's own numbers, never a C library errno read as one.
TEST(Win32Errors, OutOfRoomIsSaidInWindowsNumbers) {
  for (const DWORD code : {ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL, ERROR_FILE_TOO_LARGE}) {
    EXPECT_TRUE(out_of_room(static_cast<int>(code))) << code;
  }
  EXPECT_FALSE(out_of_room(ERROR_ACCESS_DENIED));
}

}  // namespace
}  // namespace ostrel
