// The built executable on real files: transcripts, exit statuses, the bytes
// on disk, and every way a name can fail to be a file that can be rewritten.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "app/messages.h"
#include "app/test_process.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kDone = "Temporary file generated. Copying back over original...\nDone!\n";

TEST_F(Executable, RewritesInPlaceKeepingInodeAndLinks) {
  const fs::path file = dir_ / "notes.txt";
  write_file(file, kSample);
  fs::create_hard_link(file, dir_ / "hard");
  fs::create_symlink(file, dir_ / "soft");
  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);

  const RunResult run = run_exe({(dir_ / "soft").string()}, tmp_);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, std::string(MSG_BANNER) + "Processing \"" + (dir_ / "soft").string() +
                         "\" ...\n" + kDone);
  EXPECT_EQ(read_file(file), kResult);
  EXPECT_EQ(read_file(dir_ / "hard"), kResult);
  EXPECT_TRUE(fs::is_symlink(dir_ / "soft"));
  struct stat after {};
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
}

// A file that needs no change keeps its bytes, times and inode, so that
// build tools see no change; the transcript is the same either way.
TEST_F(Executable, LeavesAFileThatNeedsNoChangeAsItIs) {
  const fs::path file = dir_ / "f";
  for (const std::string& text : {kResult, kResult + "\n"}) {
    write_file(file, text);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const RunResult run = run_exe({file.string()}, tmp_);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.out.ends_with(kDone)) << run.out;
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    const bool untouched = after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
                           after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
                           after.st_ctim.tv_nsec == before.st_ctim.tv_nsec &&
                           after.st_ctim.tv_sec == before.st_ctim.tv_sec;
    EXPECT_EQ(untouched, text == kResult);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(read_file(file), text == kResult ? kResult : kResult + "\r\n");
  }
}

// What a user sees first: after an empty line, the program's name and the
// version the build was given.
TEST_F(Executable, NoNameShowsBannerAndUsage) {
  const RunResult run = run_exe({}, tmp_);
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(run.out.starts_with("\nostrel " OSTREL_VERSION " - ")) << run.out;
  EXPECT_TRUE(run.out.starts_with(std::string(MSG_BANNER) + "Usage: ostrel filename\n\n"));
}

TEST_F(Executable, RefusesWhatItCannotRewrite) {
  const uid_t nobody = 65534;
  const bool root = ::geteuid() == 0;
  write_file(dir_ / "read-only", kSample);
  fs::permissions(dir_ / "read-only",
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0666), 0);
  fs::create_directory(dir_ / "directory");
  const std::string kNotRegular = "Not a regular file (a FIFO, a device or a socket)";
  const struct {
    const char* what;
    std::string name;
    std::optional<uid_t> uid;
    std::string tmpdir;
    std::string why;  // on standard error
  } cases[] = {
      {"missing file", (dir_ / "missing").string(), {}, tmp_, os_reason(ENOENT)},
      {"directory", (dir_ / "directory").string(), {}, tmp_, "Is a directory"},
      {"FIFO, without waiting", (dir_ / "fifo").string(), {}, tmp_, kNotRegular},
      {"device", "/dev/null", {}, tmp_, kNotRegular},
      {"empty name", "", {}, tmp_, "The name is empty"},
      {"read-only file", (dir_ / "read-only").string(), root ? std::optional(nobody) : std::nullopt,
       tmp_, os_reason(EACCES)},
      {"a view of the kernel",
       "/proc/self/comm",
       {},
       tmp_,
       "A file of the kernel's own file systems (/proc, /sys, ...)"},
  };
  for (const auto& c : cases) {
    const RunResult run = run_exe({c.name}, c.tmpdir, {.uid = c.uid});
    EXPECT_EQ(run.status, 1) << c.what;
    EXPECT_EQ(run.out,
              std::string(MSG_BANNER) + "Processing \"" + c.name + "\" ...\nCould not open file\n")
        << c.what;
    EXPECT_EQ(run.err, "ostrel: " + c.name + ": " + c.why + "\n") << c.what;
  }
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
  EXPECT_EQ(read_file(dir_ / "read-only"), kSample);
  EXPECT_TRUE(fs::is_fifo(dir_ / "fifo"));
}

TEST_F(Executable, WorksInReadOnlyDirectoryAsUnprivilegedUser) {
  const fs::path sub = dir_ / "locked";
  fs::create_directory(sub);
  write_file(sub / "f", kSample);
  std::optional<uid_t> uid;
  if (::geteuid() == 0) {
    uid = 65534;
    ASSERT_EQ(::chown((sub / "f").c_str(), *uid, *uid), 0);
  }
  fs::permissions(sub, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                           fs::perms::others_exec);
  const RunResult run = run_exe({(sub / "f").string()}, tmp_, {.uid = uid});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(read_file(sub / "f"), kResult);
  fs::permissions(sub, fs::perms::owner_all);
}

}  // namespace
}  // namespace ostrel
