// The program as a user meets it: transcripts, exit statuses and the bytes
// on disk, first in-process with injected faults, then by running the built
// executable on real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/program.h"
#include "app/test_process.h"
#include "streams/memory_file_system.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kDone = "Temporary file generated. Copying back over original...\nDone!\n";

class StringConsole final : public Console {
 public:
  void write(std::string_view text) override { text_ += text; }
  std::string text_;
};

TEST(Banner, HasFiveLinesAroundNameAndUpdates) {
  std::vector<std::string> lines;
  std::stringstream banner{std::string(MSG_BANNER)};
  for (std::string line; std::getline(banner, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5U);
  EXPECT_TRUE(MSG_BANNER.ends_with("\n\n"));
  EXPECT_EQ(lines[0], "");
  EXPECT_TRUE(lines[1].starts_with("ostrel " OSTREL_VERSION " - ")) << lines[1];
  EXPECT_TRUE(lines[3].starts_with("Download updates from https://")) << lines[3];
  EXPECT_EQ(lines[4], "");
}

struct ProgramCase {
  const char* what;
  std::vector<std::string> args;
  std::vector<Fault> faults;
  int status;
  std::string transcript;  // after the banner
  std::string file;        // what "t" holds afterwards
};

TEST(RunProgram, TranscriptsAndExitStatuses) {
  const std::string usage =
      "Usage: ostrel filename\n\nThe program will then go through the text file line by line "
      "and eliminate all\nleading indent spaces (NOT tab indents) from each line.\n";
  const ProgramCase cases[] = {
      {"no name", {"ostrel"}, {}, 2, usage, "  a\n"},
      {"no arguments at all", {}, {}, 2, usage, "  a\n"},
      {"rewritten", {"ostrel", "t"}, {}, 0, "Processing \"t\" ...\n" + kDone, "a\r\n"},
      {"second name ignored",
       {"ostrel", "t", "u"},
       {},
       0,
       "Processing \"t\" ...\n" + kDone,
       "a\r\n"},
      {"percent and backslash",
       {"ostrel", "100%s\\n.txt"},
       {},
       1,
       "Processing \"100%s\\n.txt\" ...\nCould not open file\n",
       "  a\n"},
      {"empty name", {"ostrel", ""}, {}, 1, "Processing \"\" ...\nCould not open file\n", "  a\n"},
      {"work file not created",
       {"ostrel", "t"},
       {{Call::create_work_file, 1, EACCES}},
       1,
       "Processing \"t\" ...\nCould not create a work file in \"/tmp\": Permission denied\n"
       "The file was not changed.\n",
       "  a\n"},
      {"work file write fails",
       {"ostrel", "t"},
       {{Call::write, 1, ENOSPC}},
       1,
       "Processing \"t\" ...\nCould not write the work file in \"/tmp\": No space left on "
       "device\nThe file was not changed.\n",
       "  a\n"},
      {"target read fails",
       {"ostrel", "t"},
       {{Call::read, 1, EIO}},
       1,
       "Processing \"t\" ...\nCould not read \"t\": Input/output error\nThe file was not "
       "changed.\n",
       "  a\n"},
      {"reopen fails",
       {"ostrel", "t"},
       {{Call::open_truncated, 1, EACCES}},
       1,
       "Processing \"t\" ...\nTemporary file generated. Copying back over original...\nCould not "
       "open \"t\" again to write it: Permission denied\nThe file was not changed.\n",
       "  a\n"},
      {"write back fails, text saved",
       {"ostrel", "t"},
       {{Call::write, 2, EFBIG}},
       1,
       "Processing \"t\" ...\nTemporary file generated. Copying back over original...\nCould not "
       "write \"t\": File too large\nThe file was emptied and holds only part of its new text.\n"
       "Its complete new text was saved in \"/tmp/t.ostrel-saved\".\nCopy that file over it once "
       "the cause is fixed.\n",
       ""},
      {"write back fails, saving fails",
       {"ostrel", "t"},
       {{Call::write, 2, EIO}, {Call::save_work_file, 1, ENOSPC}},
       1,
       "Processing \"t\" ...\nTemporary file generated. Copying back over original...\nCould not "
       "write \"t\": Input/output error\nThe file was emptied and holds only part of its new "
       "text.\nIts complete new text could not be saved either. Could not save it in \"/tmp\": No "
       "space left on device\nThe rest of the text is lost.\n",
       ""},
  };
  for (const ProgramCase& c : cases) {
    MemoryFileSystem fs;
    fs.files["t"] = "  a\n";
    fs.faults = c.faults;
    StringConsole console;
    EXPECT_EQ(run_program(c.args, fs, console), c.status) << c.what;
    EXPECT_EQ(console.text_, std::string(MSG_BANNER) + c.transcript) << c.what;
    EXPECT_EQ(fs.files["t"], c.file) << c.what;
    if (c.status == 2) {
      EXPECT_TRUE(fs.log.empty()) << c.what;
    }
    // Interrupts wait from before the target is emptied until all is said.
    EXPECT_FALSE(fs.interrupts_held) << c.what;
    const auto hold = std::find(fs.log.begin(), fs.log.end(), Call::hold_interrupts);
    const auto empty = std::find(fs.log.begin(), fs.log.end(), Call::open_truncated);
    EXPECT_TRUE(empty == fs.log.end() || hold < empty) << c.what;
  }
}

const std::string kSample = "  alpha\r\n\tbeta\n    \n \t gamma  \r\n  \x1a\0  x"s;
const std::string kResult = "alpha\r\n\tbeta\r\n\r\n\t gamma  \r\n\x1a\0  x"s;

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

TEST_F(Executable, NoNameShowsUsage) {
  const RunResult run = run_exe({}, tmp_);
  EXPECT_EQ(run.status, 2);
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
  const struct {
    const char* what;
    std::string name;
    std::optional<uid_t> uid;
    std::string tmpdir;
  } cases[] = {
      {"missing file", (dir_ / "missing").string(), {}, tmp_},
      {"directory", (dir_ / "directory").string(), {}, tmp_},
      {"FIFO, without waiting", (dir_ / "fifo").string(), {}, tmp_},
      {"device", "/dev/null", {}, tmp_},
      {"empty name", "", {}, tmp_},
      {"read-only file", (dir_ / "read-only").string(), root ? std::optional(nobody) : std::nullopt,
       tmp_},
  };
  for (const auto& c : cases) {
    const RunResult run = run_exe({c.name}, c.tmpdir, {.uid = c.uid});
    EXPECT_EQ(run.status, 1) << c.what;
    EXPECT_EQ(run.out,
              std::string(MSG_BANNER) + "Processing \"" + c.name + "\" ...\nCould not open file\n")
        << c.what;
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

TEST_F(Executable, UnusableWorkDirectoryLeavesFileUnchanged) {
  write_file(dir_ / "f", kSample);
  const std::string missing = (dir_ / "no-such-dir").string();
  const RunResult run = run_exe({(dir_ / "f").string()}, missing);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.ends_with("Could not create a work file in \"" + missing +
                                "\": No such file or directory\nThe file was not changed.\n"))
      << run.out;
  EXPECT_EQ(read_file(dir_ / "f"), kSample);
}

}  // namespace
}  // namespace ostrel
