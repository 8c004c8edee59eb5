// The program as a user meets it, in-process: transcripts, exit statuses
// and the bytes in an in-memory file system with injected faults.
#include <gtest/gtest.h>

#include <cerrno>
#include <charconv>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/program.h"
#include "streams/checksum.h"
#include "streams/memory_file_system.h"

namespace ostrel {
namespace {

using namespace std::string_literals;

std::string hex_sum(std::string_view bytes) {
  Checksum sum;
  sum.add(bytes);
  char text[16];
  return {text, std::to_chars(text, text + 16, sum.value(), 16).ptr};
}
// Where the new text of the file "t" is kept: beside it, named for its
// name, or in the private directory, named for its path; the length and
// checksum of the text follow.
std::string saved(const std::string& dir, const std::string& text) {
  return joined(dir, "ostrel-saved-" + hex_sum(dir == "." ? "t" : joined(".", "t")) + "." +
                         std::to_string(text.size()) + "." + hex_sum(text));
}
const std::string kInTemp = saved("/tmp", "a\r\n");
const std::string kBeside = saved(".", "a\r\n");
const std::string kDone = "Temporary file generated. Copying back over original...\nDone!\n";

class StringConsole final : public Console {
 public:
  bool write(std::string_view text) override {
    if (!works_) return false;
    text_ += text;
    return true;
  }
  std::string text_;
  bool works_ = true;
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
  std::function<void(MemoryFileSystem&)> set_up;
  int status;
  std::string transcript;  // after the banner
  std::string file;        // what "t" holds afterwards
  std::string err{};       // standard error
};

std::function<void(MemoryFileSystem&)> failing(const std::vector<Fault>& faults) {
  return [faults](MemoryFileSystem& fs) { fs.faults = faults; };
}

TEST(RunProgram, TranscriptsAndExitStatuses) {
  const std::string usage =
      "Usage: ostrel filename\n\nThe program will then go through the text file line by line "
      "and eliminate all\nleading indent spaces (NOT tab indents) from each line.\n";
  const std::string processing = "Processing \"t\" ...\n";
  const std::string copying = "Temporary file generated. Copying back over original...\n";
  const std::string unchanged = "\nThe file was not changed.\n";
  const auto nothing = [](MemoryFileSystem&) {};
  const ProgramCase cases[] = {
      {"no name", {"ostrel"}, nothing, 2, usage, "  a\n"},
      {"no arguments at all", {}, nothing, 2, usage, "  a\n"},
      {"rewritten", {"ostrel", "t"}, nothing, 0, processing + kDone, "a\r\n"},
      {"second name ignored", {"ostrel", "t", "u"}, nothing, 0, processing + kDone, "a\r\n"},
      {"percent and backslash",
       {"ostrel", "100%s\\n.txt"},
       nothing,
       1,
       "Processing \"100%s\\n.txt\" ...\nCould not open file\n",
       "  a\n",
       "ostrel: 100%s\\n.txt: " + os_reason(ENOENT) + "\n"},
      {"empty name",
       {"ostrel", ""},
       nothing,
       1,
       "Processing \"\" ...\nCould not open file\n",
       "  a\n",
       "ostrel: : The name is empty\n"},
      {"open refused",
       {"ostrel", "t"},
       failing({{Call::open_for_update, 1, EACCES}}),
       1,
       processing + "Could not open file\n",
       "  a\n",
       "ostrel: t: " + os_reason(EACCES) + "\n"},
      {"work file not created",
       {"ostrel", "t"},
       failing({{Call::create_work_file, 1, EACCES}, {Call::create_work_file, 2, ENOSPC}}),
       1,
       processing + "Could not create a work file in \".\": " + os_reason(EACCES) + unchanged,
       "  a\n"},
      {"target read fails",
       {"ostrel", "t"},
       failing({{Call::read, 1, EIO}}),
       1,
       processing + "Could not read \"t\": " + os_reason(EIO) + unchanged,
       "  a\n"},
      {"waits for another run",
       {"ostrel", "t"},
       [](MemoryFileSystem& fs) { fs.lock_busy = true; },
       0,
       processing + "Another program is using this file; waiting for it to finish...\n" + kDone,
       "a\r\n"},
      {"changed meanwhile",
       {"ostrel", "t"},
       [](MemoryFileSystem& fs) {
         fs.meddles = {{Call::identity_of, 2, [&fs] { fs.put("t", "b"); }}};
       },
       1,
       processing + "Temporary file generated. Copying back over original...\n"
                    "The file was changed or replaced by another program while it was being "
                    "rewritten.\nIt was left as that program left it.\n",
       "b"},
      {"no lasting name",
       {"ostrel", "t"},
       failing({{Call::name_as, 1, EPERM},
                {Call::create_new, 1, ENOSPC},
                {Call::create_new, 2, EACCES}}),
       1,
       processing +
           "Could not keep the new text under a lasting name, so the file was not emptied:\n  "
           "\"" +
           kBeside + "\": " + os_reason(EPERM) + "\n  \"" + kBeside + "\": " + os_reason(ENOSPC) +
           "\n  \"" + kInTemp + "\": " + os_reason(EACCES) + "\nThe file was not changed.\n",
       "  a\n"},
      {"write back fails",
       {"ostrel", "t"},
       failing({{Call::write, 2, EFBIG}}),
       1,
       processing + copying + "Could not write \"t\": " + os_reason(EFBIG) +
           "\nThe file was emptied and holds only part of its new text.\nIts complete new text "
           "is saved in \"" +
           kBeside +
           "\".\nOnce the cause is fixed, run ostrel on the "
           "file again to finish, or copy that file over it.\n",
       ""},
      {"earlier run killed while writing back",
       {"ostrel", "t"},
       [](MemoryFileSystem& fs) {
         fs.names["t"]->bytes = "a";
         fs.put(saved("/tmp", "a\r\nb\r\n"), "a\r\nb\r\n");
       },
       0,
       processing +
           "Finished writing back the new text that an earlier run left unfinished in "
           "\"" +
           saved("/tmp", "a\r\nb\r\n") + "\".\n" + kDone,
       "a\r\nb\r\n"},
      {"earlier run's text differs",
       {"ostrel", "t"},
       [](MemoryFileSystem& fs) { fs.put(saved(".", "b\r\n"), "b\r\n"); },
       1,
       processing +
           "An earlier run that did not finish writing this file back kept its complete new "
           "text in\n\"" +
           saved(".", "b\r\n") +
           "\", but the file holds other bytes than the start of that text: another\nprogram "
           "changed it since, or a crash of the system left old blocks in it. The file was not "
           "changed.\nThat text may also be the only copy of a file that stood here before.\n"
           "Compare the two and keep what you need (copy that text over the file to finish "
           "the\nrewrite); then remove \"" +
           saved(".", "b\r\n") + "\".\n",
       "  a\n"},
      {"another user's text left alone, and the file with it",
       {"ostrel", "t"},
       [](MemoryFileSystem& fs) {
         fs.names["t"]->bytes = "";
         fs.put(kInTemp, "a\r\n").owned_by_user = false;
       },
       1,
       processing +
           "An earlier run that did not finish writing this file back kept its new text in\n\"" +
           kInTemp +
           "\", but it was not used: it is owned by another user.\nThe file was not changed.\n"
           "The file may hold only part of its text. If that text is whole and this file's, copy "
           "it\nover the file (or run ostrel as its owner). Once the file holds what you need, "
           "remove that text, then run ostrel again.\n",
       ""},
  };
  for (const ProgramCase& c : cases) {
    MemoryFileSystem fs;
    fs.put("t", "  a\n");
    c.set_up(fs);
    StringConsole out;
    StringConsole err;
    EXPECT_EQ(run_program(c.args, fs, out, err), c.status) << c.what;
    EXPECT_EQ(out.text_, std::string(MSG_BANNER) + c.transcript) << c.what;
    EXPECT_EQ(err.text_, c.err) << c.what;
    EXPECT_EQ(fs.bytes("t"), c.file) << c.what;
    if (c.status == 2) {
      EXPECT_TRUE(fs.log.empty()) << c.what;
    }
  }
}

// When standard output cannot be written, what went wrong, and where the
// text is, still reaches the user, on standard error; success stays quiet.
TEST(RunProgram, FailuresReachStandardErrorWhenOutputFails) {
  for (const bool fails : {false, true}) {
    MemoryFileSystem fs;
    fs.put("t", "  a\n");
    if (fails) fs.faults = {{Call::write, 2, EIO}};
    StringConsole out;
    out.works_ = false;
    StringConsole err;
    EXPECT_EQ(run_program(std::vector<std::string>{"ostrel", "t"}, fs, out, err), fails ? 1 : 0);
    EXPECT_EQ(err.text_.find("saved in \"" + kBeside + "\"") != std::string::npos, fails)
        << err.text_;
    EXPECT_EQ(err.text_.empty(), !fails);
  }
}

}  // namespace
}  // namespace ostrel
