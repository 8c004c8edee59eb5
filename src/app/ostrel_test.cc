// The program as a user meets it, in-process: transcripts, exit statuses
// and the bytes in an in-memory file system with injected faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/program.h"
#include "streams/memory_file_system.h"

namespace ostrel {
namespace {

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
       "Processing \"t\" ...\nCould not create a work file in \"/tmp\": " + os_reason(EACCES) +
           "\nThe file was not changed.\n",
       "  a\n"},
      {"work file write fails",
       {"ostrel", "t"},
       {{Call::write, 1, ENOSPC}},
       1,
       "Processing \"t\" ...\nCould not write the work file in \"/tmp\": " + os_reason(ENOSPC) +
           "\nThe file was not changed.\n",
       "  a\n"},
      {"target read fails",
       {"ostrel", "t"},
       {{Call::read, 1, EIO}},
       1,
       "Processing \"t\" ...\nCould not read \"t\": " + os_reason(EIO) +
           "\nThe file was not changed.\n",
       "  a\n"},
      {"reopen fails",
       {"ostrel", "t"},
       {{Call::open_truncated, 1, EACCES}},
       1,
       "Processing \"t\" ...\nTemporary file generated. Copying back over original...\nCould not "
       "open \"t\" again to write it: " +
           os_reason(EACCES) + "\nThe file was not changed.\n",
       "  a\n"},
      {"write back fails, text saved",
       {"ostrel", "t"},
       {{Call::write, 2, EFBIG}},
       1,
       "Processing \"t\" ...\nTemporary file generated. Copying back over original...\nCould not "
       "write \"t\": " +
           os_reason(EFBIG) +
           "\nThe file was emptied and holds only part of its new text.\nIts complete new text was "
           "saved in \"/tmp/t.ostrel-saved\".\nCopy that file over it once "
           "the cause is fixed, before any restart.\n",
       ""},
      {"write back fails, saving fails",
       {"ostrel", "t"},
       {{Call::write, 2, EIO}, {Call::save_work_file, 1, ENOSPC}},
       1,
       "Processing \"t\" ...\nTemporary file generated. Copying back over original...\nCould not "
       "write \"t\": " +
           os_reason(EIO) +
           "\nThe file was emptied and holds only part of its new text.\nIts complete new text "
           "could "
           "not be saved either. Could not save it in \"/tmp\": " +
           os_reason(ENOSPC) + "\nThe rest of the text is lost.\n",
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

}  // namespace
}  // namespace ostrel
