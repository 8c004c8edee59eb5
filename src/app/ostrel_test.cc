// The program as a user meets it, in-process: transcripts, exit statuses
// and the bytes on the real disk, each row in a fresh directory, through the
// wrapper that fails chosen calls.
#include <gtest/gtest.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "app/messages.h"
#include "app/program.h"
#include "app/test_files.h"
#include "rewrite/test_disk.h"
#include "streams/checksum.h"
#include "streams/faulty_file_system.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string hex_sum(std::string_view bytes) {
  Checksum sum;
  sum.add(bytes);
  char text[16];
  return {text, std::to_chars(text, text + 16, sum.value(), 16).ptr};
}

// The name under which the new text is kept, for the key of its place.
std::string saved_name(const std::string& key, const std::string& text) {
  return "ostrel-saved-" + key + "." + std::to_string(text.size()) + "." + hex_sum(text);
}

// The names a row's transcript holds, which its directory decides: <file>,
// the file as the run is given it; <dir>, its folder, symbolic links
// resolved; and where the new text of "  a\n" is kept: <beside> the file,
// keyed by its name, or in the private directory (<temp>), keyed by its
// path.
class Names {
 public:
  explicit Names(const Disk& disk) {
    const fs::path real = fs::canonical(disk.file);
    const std::string text = "a\r\n";
    names_ = {
        {"<file>", utf8_of(disk.file)},
        {"<dir>", utf8_of(real.parent_path())},
        {"<beside>", utf8_of(real.parent_path() / saved_name(hex_sum("t"), text))},
        {"<temp>", utf8_of(disk.machine.private_dir / saved_name(hex_sum(utf8_of(real)), text))},
    };
  }
  // text with every name in it spelled out.
  std::string operator()(std::string text) const {
    for (const auto& [name, spelled] : names_) {
      for (std::size_t at = 0; (at = text.find(name, at)) != std::string::npos;) {
        text.replace(at, name.size(), spelled);
        at += spelled.size();
      }
    }
    return text;
  }

 private:
  std::vector<std::pair<std::string, std::string>> names_;
};

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

struct ProgramCase {
  const char* what;
  std::vector<std::string> args;
  std::function<void(Disk&, const Names&)> set_up;
  std::string transcript;  // after the banner
  std::string file;        // what the file holds afterwards
  int status;
  Need need = nothing;
  std::string err{};  // standard error
};

std::function<void(Disk&, const Names&)> failing(const std::vector<Fault>& faults) {
  return [faults](Disk& disk, const Names&) { disk.machine.faults = faults; };
}

TEST(RunProgram, TranscriptsAndExitStatuses) {
  const std::string usage =
      "Usage: ostrel filename\n\nThe program will then go through the text file line by line "
      "and eliminate all\nleading indent spaces (NOT tab indents) from each line.\n";
  const std::string processing = "Processing \"<file>\" ...\n";
  const std::string copying = "Temporary file generated. Copying back over original...\n";
  const std::string unchanged = "\nThe file was not changed.\n";
  const auto as_it_is = [](Disk&, const Names&) {};
  // A text found by its name alone may be another file's only where the
  // file system keeps no marks: the advice differs.
  const bool marks = [] {
    Disk probe("");
    return lacking(Need::marks, probe) == nullptr;
  }();
  const ProgramCase cases[] = {
      {"no name", {"ostrel"}, as_it_is, usage, "  a\n", 2},
      {"no arguments at all", {}, as_it_is, usage, "  a\n", 2},
      {"rewritten", {"ostrel", "<file>"}, as_it_is, processing + kDone, "a\r\n", 0},
      {"second name ignored", {"ostrel", "<file>", "u"}, as_it_is, processing + kDone, "a\r\n", 0},
      // The backslash separates a folder on Windows: it is there, so that
      // everywhere the file alone is missing.
      {"percent and backslash",
       {"ostrel", "<dir>/100%s\\n.txt"},
       [](Disk& disk, const Names&) { fs::create_directory(disk.file.parent_path() / "100%s"); },
       "Processing \"<dir>/100%s\\n.txt\" ...\nCould not open file\n",
       "  a\n",
       1,
       nothing,
       "ostrel: <dir>/100%s\\n.txt: " + os_reason(ENOENT) + "\n"},
      {"empty name",
       {"ostrel", ""},
       as_it_is,
       "Processing \"\" ...\nCould not open file\n",
       "  a\n",
       1,
       nothing,
       "ostrel: : The name is empty\n"},
      {"open refused",
       {"ostrel", "<file>"},
       failing({{Call::open_for_update, 1, EACCES}}),
       processing + "Could not open file\n",
       "  a\n",
       1,
       nothing,
       "ostrel: <file>: " + os_reason(EACCES) + "\n"},
      {"work file not created",
       {"ostrel", "<file>"},
       failing({{Call::create_work_file, 1, EACCES}, {Call::create_work_file, 2, ENOSPC}}),
       processing + "Could not create a work file in \"<dir>\": " + os_reason(EACCES) + unchanged,
       "  a\n",
       1},
      {"target read fails",
       {"ostrel", "<file>"},
       failing({{Call::read, 1, EIO}}),
       processing + "Could not read \"<file>\": " + os_reason(EIO) + unchanged,
       "  a\n",
       1},
      {"waits for another run",
       {"ostrel", "<file>"},
       [](Disk& disk, const Names&) { disk.hold_lock(); },
       processing + "Another program is using this file; waiting for it to finish...\n" + kDone,
       "a\r\n",
       0},
      // Another program puts a new file in its place just before the run
      // looks at the name a second time (the first look is the program's,
      // at where its output goes), which it does before the emptying.
      {"changed meanwhile",
       {"ostrel", "<file>"},
       [](Disk& disk, const Names&) {
         disk.machine.meddles = {{Call::identity_of, 2, [&disk] {
                                    write_file(disk.base / "new", "b");
                                    fs::rename(disk.base / "new", disk.file);
                                  }}};
       },
       processing + copying +
           "The file was changed or replaced by another program while it was being "
           "rewritten.\nIt was left as that program left it.\n",
       "b",
       1,
       renames_over_open_files},
      {"no lasting name",
       {"ostrel", "<file>"},
       failing({{Call::name_work_file, 1, EPERM}}),
       processing +
           "Could not keep the new text under a lasting name, so the file was not emptied:\n  "
           "\"<beside>\": " +
           os_reason(EPERM) + "\nThe file was not changed.\n",
       "  a\n",
       1},
      {"write back fails",
       {"ostrel", "<file>"},
       failing({{Call::copy, 1, EFBIG}}),
       processing + copying + "Could not write \"<file>\": " + os_reason(EFBIG) +
           "\nThe file was emptied and holds only part of its new text.\nIts complete new text "
           "is saved in \"<beside>\".\nOnce the cause is fixed, run ostrel on the file again to "
           "finish, or copy that file over it.\n",
       "",
       1},
      // What a run killed in its write-back leaves: the file holds the start
      // of the new text, which is whole in the private directory.
      {"earlier run killed while writing back",
       {"ostrel", "<file>"},
       [](Disk& disk, const Names& names) {
         write_file(disk.file, "a");
         write_file(path_from_utf8(names("<temp>")), "a\r\n");
       },
       processing +
           "Finished writing back the new text that an earlier run left unfinished in "
           "\"<temp>\".\n" +
           kDone,
       "a\r\n",
       0},
      {"earlier run's text differs",
       {"ostrel", "<file>"},
       [](Disk& disk, const Names& names) {
         write_file(disk.file, "  b\n");
         write_file(path_from_utf8(names("<beside>")), "a\r\n");
       },
       processing +
           "An earlier run that did not finish writing this file back kept its complete new "
           "text in\n\"<beside>\", but the file holds other bytes than the start of that text: "
           "another\nprogram changed it since, or a crash of the system left old blocks in it. "
           "The file was not changed.\n" +
           (marks ? ""
                  : "That text may also be the only copy of a file that stood here before.\n") +
           "Compare the two and keep what you need (copy that text over the file to finish "
           "the\nrewrite); then remove \"<beside>\".\n",
       "  b\n",
       1},
      // A normal user cannot give a file away: the OS is made to say so.
      {"another user's text left alone, and the file with it",
       {"ostrel", "<file>"},
       [](Disk& disk, const Names& names) {
         const fs::path text = path_from_utf8(names("<temp>"));
         write_file(disk.file, "");
         write_file(text, "a\r\n");
         FileIdentity planted;
         ASSERT_TRUE(os_file_system().identity_of(text, planted).ok());
         disk.machine.restate = [planted](FileState& state) {
           if (state.identity == planted) state.owned_by_user = false;
         };
       },
       processing +
           "An earlier run that did not finish writing this file back kept its new text in\n"
           "\"<temp>\", but it was not used: it is owned by another user.\nThe file was not "
           "changed.\nThe file may hold only part of its text. If that text is whole and this "
           "file's, copy it\nover the file (or run ostrel as its owner). Once the file holds what "
           "you need, remove " +
           (marks ? "the file's\nmark (Linux: setfattr -x user.ostrel.saved FILE; Windows "
                    "PowerShell: Remove-Item FILE\n-Stream ostrel.saved)"
                  : "that text") +
           ", then run ostrel again.\n",
       "",
       1},
  };
  std::string skipped;
  for (const ProgramCase& c : cases) {
    Disk disk("  a\n");
    if (const char* why = lacking(c.need, disk)) {
      skipped += "\n  "s + c.what + ": " + why;
      continue;
    }
    const Names names(disk);
    c.set_up(disk, names);
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(names(arg));
    StringConsole out;
    StringConsole err;
    EXPECT_EQ(run_program(args, disk.machine, out, err), c.status) << c.what;
    EXPECT_EQ(out.text_, std::string(MSG_BANNER) + names(c.transcript)) << c.what;
    EXPECT_EQ(err.text_, names(c.err)) << c.what;
    EXPECT_EQ(disk.bytes(), c.file) << c.what;
    if (c.status == 2) {
      EXPECT_TRUE(disk.machine.log.empty()) << c.what;
    }
  }
  if (!skipped.empty()) std::cout << "rows left out on this machine:" << skipped << "\n";
}

// When standard output cannot be written, what went wrong, and where the
// text is, still reaches the user, on standard error; success stays quiet.
TEST(RunProgram, FailuresReachStandardErrorWhenOutputFails) {
  for (const bool fails : {false, true}) {
    Disk disk("  a\n");
    const Names names(disk);
    if (fails) disk.machine.faults = {{Call::copy, 1, EIO}};
    StringConsole out;
    out.works_ = false;
    StringConsole err;
    EXPECT_EQ(
        run_program(std::vector<std::string>{"ostrel", names("<file>")}, disk.machine, out, err),
        fails ? 1 : 0);
    EXPECT_EQ(err.text_.find(names("saved in \"<beside>\"")) != std::string::npos, fails)
        << err.text_;
    EXPECT_EQ(err.text_.empty(), !fails);
  }
}

}  // namespace
}  // namespace ostrel
