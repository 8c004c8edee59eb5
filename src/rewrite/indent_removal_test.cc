// The rewrite's rules and its protocol, run on the real file system in a
// fresh directory, through the wrapper that fails chosen calls. Other
// programs act on the disk itself at chosen calls; what the disk cannot do
// at a chosen moment (a lease broken, a request to end the process, an
// owner that is not the user) the wrapper says instead.
#include "rewrite/indent_removal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "app/test_files.h"
#include "rewrite/reference_model.h"
#include "rewrite/test_disk.h"
#include "rewrite/test_rewrite.h"
#include "streams/checksum.h"
#include "streams/faulty_file_system.h"
#ifndef _WIN32
#include "streams/linux_stat.h"
#endif

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string model(const std::string& input) { return reference_rewrite(input); }

std::string hex_sum(std::string_view bytes) {
  Checksum sum;
  sum.add(bytes);
  char hex[16];
  return {hex, std::to_chars(hex, hex + 16, sum.value(), 16).ptr};
}

// A path's folder and name: the run names files in the spelling it found
// them in (their symbolic links resolved; on Windows a drive letter and
// backslashes), which need not be the tests'.
fs::path tail(const std::string& path) {
  const fs::path at = path_from_utf8(path);
  return at.parent_path().filename() / at.filename();
}

// Whether requests to end the process wait now: checked on the process's
// signal mask where there is one, else on the holds the wrapper counts.
bool interrupts_wait(const FaultyFileSystem& machine) {
#ifdef _WIN32
  return machine.holds > 0;
#else
  static_cast<void>(machine);
  sigset_t now;
  sigprocmask(SIG_BLOCK, nullptr, &now);
  return sigismember(&now, SIGTERM) == 1;
#endif
}

// Each rule, on a file that needs a change and on one that does not: a
// file that needs none is only read, so that no byte, time or name changes
// and nothing is written anywhere; one that differs in a single place is
// rewritten.
TEST(RunIndentRemoval, RewritesByTheRules) {
  const std::string a1023(1023, 'a');
  const std::string utf16 = "\xff\xfe"s + "a\0\r\0\n\0"s;
  const std::string long_line(5000, 'x');
  const struct {
    std::string input;
    std::string output;  // left out: the file needs no change
  } cases[] = {
      {"", ""},
      {"    x\n", "x\r\n"},
      {"\t  x\n", "\t  x\r\n"},
      {"  \tx\n", "\tx\r\n"},
      {" a  b  \r\n", "a  b  \r\n"},
      {"   \n   \r\n", "\r\n\r\n"},
      {"  last", "last"},
      {"x\n   ", "x\r\n"},
      {"\xa0 x\n  \xff\x80\n", "\xa0 x\r\n\xff\x80\r\n"},
      {"  \r  x\r\n", "\r  x\r\n"},
      {"a\r\r\n", ""},
      {"b\r", ""},
      {"  a\0  b\n  c\n"s, "a\0  b\r\nc\r\n"s},
      {"  \x1a  x\n \x1a", "\x1a  x\r\n\x1a"},
      {std::string(2000, ' ') + "x\n  y\n", "x\r\ny\r\n"},
      {a1023 + "   b\n", a1023 + "   b\r\n"},
      {std::string(1023, ' ') + "\n" + std::string(1024, ' ') + "\n", "\r\n\r\n"},
      {"no\r\nspaces\r\n", ""},
      {"one line", ""},
      {"a\r\nb\r\n\r\n", ""},
      {"lone\rCR\r\n", ""},
      {long_line + "\r\n" + long_line, ""},
      {"\xef\xbb\xbf"
       "a\r\n",
       ""},
      {utf16, ""},
      {"\xfe\xff\0a\0\r\0\n"s, ""},
      {"\xff\xfe\0\0a\0\0\0\r\0\0\0\n\0\0\0"s, ""},
      {" a\r\nb\r\n", "a\r\nb\r\n"},
      {"a\r\n b\r\nc\r\n", "a\r\nb\r\nc\r\n"},
      {"a\r\nb\r\n ", "a\r\nb\r\n"},
      {"a\nb\r\n", "a\r\nb\r\n"},
      {"a\r\nb\r\nc\n", "a\r\nb\r\nc\r\n"},
      {long_line + "\r\n" + long_line + "\n", long_line + "\r\n" + long_line + "\r\n"},
      {"\xef\xbb\xbf a\r\n",
       "\xef\xbb\xbf"
       "a\r\n"},
      {utf16 + " \0"s, utf16},
  };
  for (const auto& c : cases) {
    Disk disk(c.input);
    // An hour back, so that any write moves it.
    fs::last_write_time(disk.file, fs::last_write_time(disk.file) - std::chrono::hours(1));
    const bool needs_change = !c.output.empty();
    FileState before;
    FileState after;
    ASSERT_TRUE(os_file_system().state_of(disk.file, before).ok());
    EXPECT_EQ(disk.run().outcome, RewriteOutcome::done);
    ASSERT_TRUE(os_file_system().state_of(disk.file, after).ok());
    EXPECT_EQ(disk.bytes(), needs_change ? c.output : c.input) << "input: " << c.input;
    EXPECT_EQ(after.modified != before.modified, needs_change) << c.input;
    EXPECT_EQ(disk.machine.calls[Call::name_work_file] > 0, needs_change) << c.input;
    EXPECT_EQ(disk.machine.calls[Call::write] > 0, needs_change) << c.input;
    EXPECT_EQ(disk.others(), std::vector<std::string>{}) << c.input;
  }
}

TEST(RunIndentRemoval, MatchesModelOnRandomFiles) {
  std::mt19937 random(2026);
  const std::string alphabet = "    \t\r\n\r\nx\0\x1a\xa0"s;
  Disk disk("");
  for (int round = 0; round < 300; ++round) {
    std::string input;
    const std::size_t runs = random() % 40;
    for (std::size_t r = 0; r < runs; ++r) {
      // Mostly short runs, now and then one longer than many 64-byte windows.
      const std::size_t length = random() % 8 == 0 ? random() % 3000 : random() % 12;
      const char c = alphabet[random() % alphabet.size()];
      input.append(length, c == 'x' ? static_cast<char>('a' + random() % 26) : c);
    }
    write_file(disk.file, input);
    disk.machine.read_chunk = 1 + random() % 2000;
    ASSERT_EQ(disk.run().outcome, RewriteOutcome::done);
    ASSERT_TRUE(disk.bytes() == model(input)) << "round " << round;
  }
}

#ifndef _WIN32
// Where the file system makes no nameless files, the work file is made under
// a name of its own and renamed to its lasting name: the run goes as
// elsewhere and leaves nothing behind, and it removes the one a killed run
// left.
TEST(RunIndentRemoval, WorkFileMadeWithAName) {
  const auto real_open = open_call;
  open_call = [](const char* path, int flags, mode_t mode) {
    if ((flags & O_TMPFILE) == O_TMPFILE) {
      errno = EOPNOTSUPP;
      return -1;
    }
    return ::open(path, flags, mode);
  };
  for (const bool stale : {false, true}) {
    Disk disk(kSample);
    if (stale) write_file(disk.file.parent_path() / ("ostrel-saved-" + hex_sum("t") + ".part"), "");
    bool named = false;
    RewriteEvents events;
    events.told = [&](Notice, const std::string&) { named = !disk.saved("dir").empty(); };
    EXPECT_EQ(disk.run(events).outcome, RewriteOutcome::done) << stale;
    EXPECT_TRUE(named) << stale;
    EXPECT_EQ(disk.bytes(), model(kSample)) << stale;
    EXPECT_EQ(disk.others(), std::vector<std::string>{}) << stale;
  }
  open_call = real_open;
}
#endif

// Every call of a run failed in turn, a write also cut short, with the
// lasting name made each of the three ways: the target is never anything
// but its original bytes, the complete result, or (once emptied) a true
// prefix of the result with the result under the name reported. Interrupts
// wait from before the lasting name is made until the outcome is reported.
TEST(RunIndentRemoval, EveryFailureLeavesTheTextWholeOrSaysWhereItIs) {
  // Lines that need no change first, so that the file is read to its first
  // change, then again from its start.
  std::string original;
  for (int i = 0; i < 2000; ++i) original += "as it is " + std::to_string(i) + "\r\n";
  for (int i = 0; i < 12000; ++i) original += "  line " + std::to_string(i) + "\r\n\t x\n";
  const std::string result_text = model(original);
  const std::vector<std::vector<Fault>> ways = {
      {},                                     // the work file beside the file
      {{Call::create_work_file, 1, ENOSPC}},  // the work file in tmp
  };
  for (const std::vector<Fault>& way : ways) {
    std::vector<Call> log;
    {
      Disk clean(original);
      clean.machine.read_chunk = 100000;
      clean.machine.faults = way;
      ASSERT_EQ(clean.run().outcome, RewriteOutcome::done);
      log = clean.machine.log;
    }
    const auto emptied = std::find(log.begin(), log.end(), Call::truncate) - log.begin();
    ASSERT_LT(emptied, static_cast<long>(log.size()));

    for (std::size_t i = 0; i < log.size(); ++i) {
      if (log[i] == Call::hold_interrupts) continue;
      const auto nth =
          static_cast<int>(std::count(log.begin(), log.begin() + static_cast<long>(i) + 1, log[i]));
      for (const std::size_t lands : {std::size_t{0}, std::size_t{1000}}) {
        if (lands > 0 && log[i] != Call::write) continue;
        Disk disk(original);
        FaultyFileSystem& machine = disk.machine;
        machine.read_chunk = 100000;
        machine.faults = way;
        machine.faults.push_back(Fault{log[i], nth, ENOSPC, lands});
        bool held_at_report = false;
        RewriteEvents events;
        events.report = [&](const RewriteResult&) { held_at_report = interrupts_wait(machine); };
        const RewriteResult result = disk.run(events);
        EXPECT_FALSE(interrupts_wait(machine)) << "after the run";
        const std::string where =
            "way " + std::to_string(way.size()) + " call " + std::to_string(i) + " (kind " +
            std::to_string(static_cast<int>(log[i])) + ") lands " + std::to_string(lands);
        EXPECT_EQ(machine.locks, 0) << where;
        const auto hold = std::find(machine.log.begin(), machine.log.end(), Call::hold_interrupts);
        const auto truncate = std::find(machine.log.begin(), machine.log.end(), Call::truncate);
        const auto named = std::find_if(machine.log.begin(), machine.log.end(),
                                        [](Call call) { return call == Call::name_work_file; });
        EXPECT_TRUE(truncate == machine.log.end() || hold < truncate) << where;
        EXPECT_TRUE(named == machine.log.end() || hold < named) << where;
        EXPECT_EQ(held_at_report, hold != machine.log.end()) << where;
        const std::vector<std::string> others = disk.others();
        const std::string now = disk.bytes();
        switch (result.outcome) {
          case RewriteOutcome::done:
            // Faults the run can do without: closing a work file that was
            // read to its end, or taking away a lasting name, which the
            // next run then removes as the result it equals.
            EXPECT_TRUE(now == result_text) << where;
            for (const std::string& other : others)
              EXPECT_TRUE(read_file(path_from_utf8(other)) == result_text)
                  << where << ": " << other;
            break;
          case RewriteOutcome::failed_after_emptying:
          case RewriteOutcome::others_let_in:
            // A name that cannot be looked at after the write-back is taken
            // for one taken away.
            EXPECT_GT(static_cast<long>(i), emptied) << where;
            if (result.outcome == RewriteOutcome::others_let_in) {
              EXPECT_EQ(log[i], Call::identity_of) << where;
            } else {
              EXPECT_EQ(result.error.code, ENOSPC) << where;
            }
            EXPECT_TRUE(result_text.starts_with(now)) << where;
            EXPECT_TRUE(read_file(path_from_utf8(result.saved_as)) == result_text) << where;
            EXPECT_EQ(others.size(), 1U) << where;
            EXPECT_EQ(tail(others.front()), tail(result.saved_as)) << where;
            break;
          default:
            // An emptying that is refused leaves the file as it was.
            EXPECT_LE(static_cast<long>(i), emptied) << where;
            EXPECT_TRUE(now == original) << where;
            EXPECT_TRUE(others.empty()) << where;
        }
      }
    }
  }
}

// Other runs and other programs at work on the same file, and what a run
// that was killed left, however the file is reached afterwards.
TEST(RunIndentRemoval, SharesTheFileSafely) {
  const std::string original = "  a\n  b\n";
  const std::string result_text = model(original);
  struct Case {
    const char* what;
    std::function<void(Disk&)> set_up;
    std::string file;  // what "t" holds afterwards
    // Every other name afterwards: "dir" or "tmp" for the whole new text
    // kept there, "*" for what was set up.
    std::vector<std::string> others;
    std::string told;  // the events, in order; "@" for where the saved text is
    RewriteOutcome outcome;
    Need need = nothing;
  };
  const auto killed = [](Call call, const std::function<void(Disk&)>& then = {}) {
    return [call, then](Disk& disk) {
      disk.kill_after(call);
      if (then) then(disk);
    };
  };
  const auto failing = [](const std::vector<Fault>& faults) {
    return [faults](Disk& disk) { disk.machine.faults = faults; };
  };
  const auto emptied_and = [&](const std::function<void(Disk&)>& then) {
    return killed(Call::truncate, then);
  };
  // Killed in its write-back once two bytes were back (where the file
  // keeps no mark, an emptied file is not finished).
  const auto cut = [&](Disk& disk) {
    disk.kill_after(Call::truncate);
    write_file(disk.file, result_text.substr(0, 2));
  };
  const auto lease_and = [](Call call) {
    return [call](Disk& disk) {
      disk.machine.meddles = {{call, 1, [&disk] { disk.machine.let_in = true; }}};
    };
  };
  // Another program, with the file open, changes it once its new text is
  // all back and before it is forced to disk.
  const auto during_write_back = [&](const std::function<void(Disk&)>& act) {
    return [&result_text, act](Disk& disk) {
      disk.open_other();
      disk.machine.meddles = {{Call::sync, 0, [&disk, &result_text, act] {
                                 if (fs::file_size(disk.file) == result_text.size()) act(disk);
                               }}};
    };
  };
  const Case cases[] = {
      {"another run holds the lock",
       [](Disk& disk) { disk.hold_lock(); },
       result_text,
       {},
       "waiting copying ",
       RewriteOutcome::done},
      {"appended to meanwhile",
       [](Disk& disk) {
         disk.open_other();
         disk.machine.meddles = {{Call::create_work_file, 1, [&disk] { disk.write_other("x\n"); }}};
       },
       original + "x\n",
       {},
       "",
       RewriteOutcome::changed_meanwhile,
       writes_past_the_lock},
      // However long telling of the copy-back takes, what is written
      // meanwhile is seen before the file is emptied.
      {"appended to as the copy-back is told",
       [](Disk& disk) {
         disk.open_other();
         disk.copying = [&disk] { disk.write_other("x\n"); };
       },
       original + "x\n",
       {},
       "copying ",
       RewriteOutcome::changed_meanwhile,
       writes_past_the_lock},
      {"renamed over meanwhile",
       [](Disk& disk) {
         disk.machine.meddles = {{Call::identity_of, 1, [&disk] {
                                    write_file(disk.base / "new", "new");
                                    fs::rename(disk.base / "new", disk.file);
                                  }}};
       },
       "new",
       {},
       "copying ",
       RewriteOutcome::changed_meanwhile,
       renames_over_open_files},
      {"a request to stop came",
       [](Disk& disk) { disk.machine.interrupt = true; },
       original,
       {},
       "copying ",
       RewriteOutcome::interrupted},
      // Where no lease keeps it out, another program rewrites the file in
      // place within one clock tick while the strip pass reads it, and back
      // before it is checked: the text read was never the file's.
      {"rewritten in place while it was read",
       [](Disk& disk) {
         disk.machine.restate = [](FileState& state) { state.modified = state.status_changed = 0; };
         disk.machine.read_chunk = 2;
         disk.open_other();
         disk.machine.meddles = {{Call::read, 4, [&disk] { disk.write_other("X", 2); }},
                                 {Call::name_work_file, 1, [&disk] { disk.write_other("a", 2); }}};
       },
       original,
       {},
       "copying ",
       RewriteOutcome::changed_meanwhile,
       writes_past_the_lock},
      {"written to during the write-back",
       during_write_back([](Disk& disk) { disk.write_other("XY", 0); }),
       "XY\nb\r\n",
       {"dir"},
       "copying ",
       RewriteOutcome::others_let_in,
       writes_past_the_lock},
      {"cut short during the write-back",
       during_write_back([](Disk& disk) { fs::resize_file(disk.file, 2); }),
       "a\r",
       {"dir"},
       "copying ",
       RewriteOutcome::others_let_in,
       writes_past_the_lock},
      {"another program keeps openers waiting",
       [](Disk& disk) {
         ASSERT_TRUE(os_file_system().open_for_update(disk.file, disk.held, false).ok());
         ASSERT_TRUE(disk.held->keep_openers_waiting());
         disk.machine.meddles = {{Call::open_for_update, 2, [&disk] { disk.held.reset(); }}};
       },
       result_text,
       {},
       "waiting copying ",
       RewriteOutcome::done,
       leases},
      {"another program let in before the emptying",
       lease_and(Call::identity_of),
       original,
       {},
       "copying ",
       RewriteOutcome::changed_meanwhile,
       leases},
      {"another program let in during the write-back",
       lease_and(Call::truncate),
       "",
       {"dir"},
       "copying ",
       RewriteOutcome::others_let_in,
       leases},
      {"killed after emptying",
       killed(Call::truncate),
       result_text,
       {},
       "resumed @ copying ",
       RewriteOutcome::done,
       marks},
      {"killed in the write-back",
       cut,
       result_text,
       {},
       "resumed @ copying ",
       RewriteOutcome::done},
      {"killed in the write-back through a link in another folder, then run by its name",
       [&](Disk& disk) {
         fs::create_symlink(disk.file, disk.link);
         disk.run_as = disk.link;
         cut(disk);
         disk.run_as = disk.file;
       },
       result_text,
       {},
       "resumed @ copying ",
       RewriteOutcome::done,
       mode_bits_and_symlinks},
      {"killed in the write-back by its name, then run through a link in another folder",
       [&](Disk& disk) {
         fs::create_symlink(disk.file, disk.link);
         cut(disk);
         disk.run_as = disk.link;
       },
       result_text,
       {},
       "resumed @ copying ",
       RewriteOutcome::done,
       mode_bits_and_symlinks},
      {"killed after emptying through a hard link in another folder, then run by its name",
       [](Disk& disk) {
         fs::create_hard_link(disk.file, disk.link);
         disk.run_as = disk.link;
         disk.kill_after(Call::truncate);
         disk.run_as = disk.file;
       },
       result_text,
       {},
       "resumed @ copying ",
       RewriteOutcome::done,
       marks},
      {"killed in the write-back; its text cannot be removed now",
       [&](Disk& disk) {
         cut(disk);
         disk.machine.faults = {{Call::remove, 1, EACCES}};
       },
       result_text,
       {"*"},
       "resumed @ copying ",
       RewriteOutcome::done},
      // A copy that kept no marks: a cut file is finished from the text
      // named for it; an empty one may as well be a new file.
      {"killed in the write-back; the folder copied back without its marks",
       emptied_and([&](Disk& disk) {
         write_file(disk.base / "copy", result_text.substr(0, 2));
         fs::rename(disk.base / "copy", disk.file);
       }),
       result_text,
       {},
       "resumed @ copying ",
       RewriteOutcome::done},
      {"killed after emptying; the folder copied back without its marks",
       emptied_and([](Disk& disk) {
         write_file(disk.base / "copy", "");
         fs::rename(disk.base / "copy", disk.file);
       }),
       "",
       {"*"},
       "",
       RewriteOutcome::saved_unsure},
      {"killed after emptying; a new file of zero bytes made in its place",
       emptied_and([](Disk& disk) {
         fs::remove(disk.file);
         write_file(disk.file, std::string(64, 0));
       }),
       std::string(64, 0),
       {"*"},
       "",
       RewriteOutcome::saved_differs},
      // A copy with its marks, whose text is the original's: neither used
      // nor removed.
      {"killed after emptying; a copy of it run on",
       emptied_and([](Disk& disk) {
         std::unique_ptr<File> from;
         std::unique_ptr<File> to;
         std::string mark;
         bool kept = false;
         write_file(disk.link, "");
         ASSERT_TRUE(os_file_system().open_for_update(disk.file, from, false).ok());
         ASSERT_TRUE(os_file_system().open_for_update(disk.link, to, false).ok());
         ASSERT_TRUE(from->read_mark(mark, kept).ok());
         ASSERT_TRUE(to->write_mark(mark).ok());
         disk.run_as = disk.link;
       }),
       "",
       {"*"},
       "",
       RewriteOutcome::saved_unused,
       marks},
      {"killed after emptying; a crash left zero bytes at its end",
       emptied_and([&](Disk& disk) {
         write_file(disk.file, result_text.substr(0, 3) + std::string(result_text.size() - 3, 0));
       }),
       result_text,
       {},
       "resumed @ copying ",
       RewriteOutcome::done},
      {"killed after emptying; the saved text edited since",
       emptied_and([](Disk& disk) { write_file(disk.saved("dir"), "a\r\nb\r\nc\r\n"); }),
       "",
       {"*"},
       "",
       RewriteOutcome::saved_unused},
      {"killed after emptying; the saved text gone",
       emptied_and([](Disk& disk) { fs::remove(disk.saved("dir")); }),
       "",
       {},
       "",
       RewriteOutcome::saved_unused,
       marks},
      {"killed after emptying; the file changed since",
       emptied_and([](Disk& disk) { write_file(disk.file, "other\r\n"); }),
       "other\r\n",
       {"*"},
       "",
       RewriteOutcome::saved_differs},
      {"killed once all was back",
       [&](Disk& disk) {
         disk.kill_after(Call::sync, 0,
                         [&] { return fs::file_size(disk.file) == result_text.size(); });
       },
       result_text,
       {},
       "copying ",
       RewriteOutcome::done},
      {"killed before emptying",
       killed(Call::sync_directory),
       result_text,
       {},
       "copying ",
       RewriteOutcome::done},
      {"killed while the work file was written",
       killed(Call::write),
       result_text,
       {},
       "copying ",
       RewriteOutcome::done},
      // The text a killed run kept is finished, and the file then needs
      // another rewrite: requests to end the process wait throughout.
      {"killed, and its text needs another rewrite",
       emptied_and([](Disk& disk) {
         const std::string saved = disk.saved("dir");
         write_file(saved, "  x\r\n");
         const fs::path renamed = saved.substr(0, saved.find('.')) + ".5." + hex_sum("  x\r\n");
         fs::rename(saved, renamed);
         std::unique_ptr<File> file;
         ASSERT_TRUE(os_file_system().open_for_update(disk.file, file, false).ok());
         ASSERT_TRUE(file->write_mark(utf8_of(renamed)).ok());
       }),
       "x\r\n",
       {},
       "resumed @ copying ",
       RewriteOutcome::done,
       marks},
      {"nowhere outlives a restart",
       failing({{Call::create_work_file, 1, EACCES}}),
       result_text,
       {},
       "restart copying ",
       RewriteOutcome::done,
       restart_empties},
      {"no room for the work file beside the file",
       failing({{Call::write, 1, ENOSPC}}),
       result_text,
       {},
       "restart copying ",
       RewriteOutcome::done,
       restart_empties},
      // Without its mark, a run through another name would not find the
      // text: the file is left as it was.
      {"the file takes no mark",
       failing({{Call::mark, 2, ENOSPC}}),
       original,
       {},
       "",
       RewriteOutcome::failed_unchanged,
       marks},
      {"no lasting name anywhere",
       failing({{Call::name_work_file, 1, EPERM}}),
       original,
       {},
       "",
       RewriteOutcome::not_saved},
  };
  std::string skipped;
  for (const Case& c : cases) {
    Disk disk(original);
    if (const char* why = lacking(c.need, disk)) {
      skipped += "\n  "s + c.what + ": " + why;
      continue;
    }
    c.set_up(disk);
    const std::vector<std::string> planted = disk.others();
    std::string told;
    RewriteEvents events;
    events.told = [&](Notice notice, const std::string& path) {
      const char* const words[] = {"waiting ", "restart ", "resumed ", "copying "};
      told += words[static_cast<int>(notice)];
      if (notice == Notice::resumed) {
        EXPECT_EQ(planted.size(), 1U) << c.what;
        EXPECT_EQ(tail(path), tail(planted.front())) << c.what;
        told += "@ ";
      }
      if (notice == Notice::copying_back) {
        EXPECT_EQ(disk.machine.locks, 1) << c.what;
        if (disk.copying) disk.copying();
      }
    };
    // Told while the file is still locked: no other run can act on it first.
    events.report = [&](const RewriteResult&) { EXPECT_EQ(disk.machine.locks, 1) << c.what; };
    bool waited = true;
    disk.machine.meddles.push_back(
        {Call::truncate, 0, [&] { waited = waited && interrupts_wait(disk.machine); }});
    EXPECT_EQ(disk.run(events).outcome, c.outcome) << c.what;
    EXPECT_TRUE(waited) << c.what << ": requests to end the process did not wait";
    EXPECT_FALSE(interrupts_wait(disk.machine)) << c.what << ": they still wait";
    disk.other.close();
    EXPECT_EQ(disk.bytes(), c.file) << c.what;
    std::vector<std::string> others;
    for (const std::string& other : c.others) {
      if (other == "*") {
        others.insert(others.end(), planted.begin(), planted.end());
      } else {
        others.push_back(disk.saved(other.c_str()));
        EXPECT_EQ(read_file(others.back()), result_text) << c.what;
      }
    }
    EXPECT_EQ(disk.others(), others) << c.what;
    EXPECT_EQ(told, c.told) << c.what;
  }
  if (!skipped.empty()) std::cout << "rows left out on this machine:" << skipped << "\n";
}

// Whatever stands where an earlier run's text is and is not surely that
// text is left alone, and so is the file, which may be incomplete: the run
// names it and says why.
TEST(RunIndentRemoval, TrustsOnlyTextThisUserSaved) {
  const std::string original = "  a\n";
  // What a run killed after emptying the file left, the text then replaced
  // by what replace makes at its name.
  const auto replaced = [](Disk& disk, const std::function<void(const fs::path&)>& replace) {
    disk.kill_after(Call::truncate);
    const fs::path saved = disk.saved("dir");
    fs::remove(saved);
    replace(saved);
  };
  const auto text = [](const fs::path& path) { write_file(path, "a\r\n"); };
  const struct {
    Distrust why;
    Need need;
    std::function<void(Disk&)> plant;
  } cases[] = {
      // A normal user cannot give a file away: the OS is made to say so.
      {Distrust::foreign, nothing,
       [&](Disk& disk) {
         disk.kill_after(Call::truncate);
         FileIdentity planted;
         ASSERT_TRUE(os_file_system().identity_of(disk.saved("dir"), planted).ok());
         disk.machine.restate = [planted](FileState& state) {
           if (state.identity == planted) state.owned_by_user = false;
         };
       }},
      {Distrust::writable_by_others, mode_bits_and_symlinks,
       [&](Disk& disk) {
         disk.kill_after(Call::truncate);
         fs::permissions(disk.saved("dir"), fs::perms::others_write, fs::perm_options::add);
       }},
      {Distrust::other_names, nothing,
       [&](Disk& disk) {
         disk.kill_after(Call::truncate);
         fs::create_hard_link(disk.saved("dir"), disk.base / "other" / "elsewhere");
       }},
      {Distrust::not_regular, directories_open,
       [&](Disk& disk) { replaced(disk, [](const fs::path& at) { fs::create_directory(at); }); }},
      // With the run's lease on it: the file is not opened by its other name.
      {Distrust::the_target, nothing,
       [&](Disk& disk) {
         replaced(disk, [&disk](const fs::path& at) { fs::create_hard_link(disk.file, at); });
       }},
      {Distrust::shared_directory, mode_bits_and_symlinks,
       [&](Disk& disk) {
         disk.kill_after(Call::truncate);
         fs::permissions(disk.base / "dir", fs::perms::others_write, fs::perm_options::add);
       }},
      // Another file marked, by anyone who may write it, to lead to this
      // file's text: the text does not carry that mark.
      {Distrust::unmarked, marks,
       [&](Disk& disk) {
         disk.kill_after(Call::truncate);
         write_file(disk.link, "  b\n");
         std::unique_ptr<File> from;
         std::unique_ptr<File> to;
         std::string mark;
         bool supported = false;
         FileState other;
         ASSERT_TRUE(os_file_system().open_for_update(disk.file, from, false).ok());
         ASSERT_TRUE(os_file_system().open_for_update(disk.link, to, false).ok());
         ASSERT_TRUE(from->read_mark(mark, supported).ok());
         ASSERT_TRUE(to->state(other).ok());
         const auto hex = [](std::uint64_t n) {
           char text[16];
           return std::string(text, std::to_chars(text, text + 16, n, 16).ptr);
         };
         mark.resize(mark.find('\0') + 1);
         mark += hex(other.identity.device) + ':' + hex(other.identity.file) + ':' +
                 hex(static_cast<std::uint64_t>(other.identity.born));
         ASSERT_TRUE(to->write_mark(mark).ok());
         disk.run_as = disk.link;
       }},
      {Distrust::unreadable, mode_bits_and_symlinks,
       [&](Disk& disk) {
         text(disk.base / "other" / "elsewhere");
         replaced(disk, [&disk](const fs::path& at) {
           fs::create_symlink(disk.base / "other" / "elsewhere", at);
         });
       }},
  };
  std::string skipped;
  for (const auto& c : cases) {
    Disk disk(original);
    const auto what = static_cast<int>(c.why);
    if (const char* why = lacking(c.need, disk)) {
      skipped += "\n  " + std::to_string(what) + ": " + why;
      continue;
    }
    c.plant(disk);
    const std::vector<std::string> planted = disk.others();
    const std::string before = disk.bytes();
    const RewriteResult result = disk.run();
    EXPECT_EQ(result.outcome, RewriteOutcome::saved_unused) << what;
    EXPECT_EQ(result.distrust, c.why) << what;
    EXPECT_EQ(tail(result.saved_as), tail(disk.saved("dir"))) << what;
    EXPECT_EQ(disk.bytes(), before) << what;
    EXPECT_EQ(disk.others(), planted) << what;
  }
  if (!skipped.empty()) std::cout << "rows left out on this machine:" << skipped << "\n";
}

// A run killed in its write-back is finished by the next, however long the
// folder's path: the mark it leaves (the text's path, then the file's
// numbers) is one the next run reads back whole, also past 4096 bytes.
TEST(RunIndentRemoval, FinishesAKilledRunInADeepFolder) {
  const std::string original = "  a\n    b\n";
  for (const std::size_t length : {std::size_t{100}, std::size_t{4040}}) {
    Disk disk(original);
    if (const char* why = lacking(marks, disk)) GTEST_SKIP() << why;
    fs::path dir = disk.base / "other";
    while (utf8_of(dir).size() + 201 < length) dir /= std::string(200, 'd');
    dir /= std::string(length - utf8_of(dir).size() - 1, 'e');
    fs::create_directories(dir);
    disk.run_as = dir / "t";
    write_file(disk.run_as, original);
    disk.kill_after(Call::truncate);
    EXPECT_EQ(disk.run().outcome, RewriteOutcome::done) << length;
    EXPECT_EQ(read_file(disk.run_as), model(original)) << length;
  }
}

}  // namespace
}  // namespace ostrel
