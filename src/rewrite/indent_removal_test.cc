#include "rewrite/indent_removal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "rewrite/reference_model.h"
#include "rewrite/test_rewrite.h"
#include "streams/memory_file_system.h"

namespace ostrel {
namespace {

using namespace std::string_literals;

std::string model(const std::string& input) { return reference_rewrite(input); }

RewriteResult rewrite(MemoryFileSystem& fs, const std::string& name = "t") {
  return reported_run(fs, name);
}

// Where the new text of the first file put into a MemoryFileSystem is kept,
// if it is that text.
std::string saved_name(const std::string& dir, const std::string& text,
                       const std::string& numbers = "1-1-1") {
  return joined(dir, "ostrel-saved-" + numbers + "." + std::to_string(text.size()));
}

TEST(RunIndentRemoval, RewritesByTheRules) {
  const std::string a1023(1023, 'a');
  const struct {
    std::string input;
    std::string output;
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
      {"a\r\r\n", "a\r\r\n"},
      {"b\r", "b\r"},
      {"  a\0  b\n  c\n"s, "a\0  b\r\nc\r\n"s},
      {"  \x1a  x\n \x1a", "\x1a  x\r\n\x1a"},
      {std::string(2000, ' ') + "x\n  y\n", "x\r\ny\r\n"},
      {a1023 + "   b\n", a1023 + "   b\r\n"},
      {std::string(1023, ' ') + "\n" + std::string(1024, ' ') + "\n", "\r\n\r\n"},
      {"no\r\nspaces\r\n", "no\r\nspaces\r\n"},
  };
  for (const auto& c : cases) {
    MemoryFileSystem fs;
    fs.put("t", c.input);
    const RewriteResult result = rewrite(fs);
    EXPECT_EQ(result.outcome, RewriteOutcome::done);
    EXPECT_EQ(fs.bytes("t"), c.output) << "input: " << c.input;
    EXPECT_EQ(fs.list(), std::vector<std::string>{"t"});
    EXPECT_EQ(fs.open_work_files, 0);
  }
}

TEST(RunIndentRemoval, MatchesModelOnRandomFiles) {
  std::mt19937 random(2026);
  const std::string alphabet = "    \t\r\n\r\nx\0\x1a\xa0"s;
  for (int round = 0; round < 300; ++round) {
    std::string input;
    const std::size_t runs = random() % 40;
    for (std::size_t r = 0; r < runs; ++r) {
      // Mostly short runs, now and then one longer than many 64-byte windows.
      const std::size_t length = random() % 8 == 0 ? random() % 3000 : random() % 12;
      const char c = alphabet[random() % alphabet.size()];
      input.append(length, c == 'x' ? static_cast<char>('a' + random() % 26) : c);
    }
    MemoryFileSystem fs;
    fs.put("t", input);
    fs.read_chunk = 1 + random() % 2000;
    ASSERT_EQ(rewrite(fs).outcome, RewriteOutcome::done);
    ASSERT_TRUE(fs.bytes("t") == model(input)) << "round " << round;
  }
}

// A file that needs no change is only read: no byte, time or name changes,
// and nothing is written anywhere. One that differs in a single place is
// rewritten.
TEST(RunIndentRemoval, LeavesFilesThatNeedNoChangeUntouched) {
  const std::string utf16 = "\xff\xfe"s + "a\0\r\0\n\0"s;
  const std::string long_line(5000, 'x');
  const struct {
    std::string input;
    bool needs_change;
  } cases[] = {
      {"", false},
      {"one line", false},
      {"a\r\nb\r\n\r\n", false},
      {"lone\rCR\r\n", false},
      {long_line + "\r\n" + long_line, false},
      {"\xef\xbb\xbf"
       "a\r\n",
       false},
      {utf16, false},
      {"\xfe\xff\0a\0\r\0\n"s, false},
      {"\xff\xfe\0\0a\0\0\0\r\0\0\0\n\0\0\0"s, false},
      {" a\r\nb\r\n", true},
      {"a\r\n b\r\nc\r\n", true},
      {"a\r\nb\r\n ", true},
      {"a\nb\r\n", true},
      {"a\r\nb\r\nc\n", true},
      {long_line + "\r\n" + long_line + "\n", true},
      {"\xef\xbb\xbf a\r\n", true},
      {utf16 + " \0"s, true},
  };
  for (const auto& c : cases) {
    MemoryFileSystem fs;
    const std::int64_t modified = fs.put("t", c.input).modified;
    ASSERT_EQ(rewrite(fs).outcome, RewriteOutcome::done);
    EXPECT_EQ(fs.bytes("t"), model(c.input)) << c.input;
    EXPECT_EQ(fs.names["t"]->modified != modified, c.needs_change) << c.input;
    EXPECT_EQ(fs.calls[Call::name_as] > 0, c.needs_change) << c.input;
    EXPECT_EQ(fs.calls[Call::write] > 0, c.needs_change) << c.input;
    EXPECT_EQ(fs.list(), std::vector<std::string>{"t"}) << c.input;
  }
}

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
      {},                                                          // the work file named
      {{Call::name_as, 1, EPERM}},                                 // a copy beside the file
      {{Call::name_as, 1, EPERM}, {Call::create_new, 1, EEXIST}},  // a copy in /tmp
  };
  for (const std::vector<Fault>& way : ways) {
    MemoryFileSystem clean;
    clean.put("t", original);
    clean.read_chunk = 100000;
    clean.faults = way;
    ASSERT_EQ(rewrite(clean).outcome, RewriteOutcome::done);
    const std::vector<Call> log = clean.log;
    const auto emptied = std::find(log.begin(), log.end(), Call::truncate) - log.begin();
    ASSERT_LT(emptied, static_cast<long>(log.size()));

    for (std::size_t i = 0; i < log.size(); ++i) {
      if (log[i] == Call::hold_interrupts) continue;
      const auto nth =
          static_cast<int>(std::count(log.begin(), log.begin() + static_cast<long>(i) + 1, log[i]));
      for (const std::size_t lands : {std::size_t{0}, std::size_t{1000}}) {
        if (lands > 0 && log[i] != Call::write) continue;
        MemoryFileSystem fs;
        MemoryNode& target = fs.put("t", original);
        fs.read_chunk = clean.read_chunk;
        fs.faults = way;
        fs.faults.push_back(Fault{log[i], nth, ENOSPC, lands});
        int reports = 0;
        bool held_at_report = false;
        RewriteEvents events;
        events.report = [&](const RewriteResult&) {
          ++reports;
          held_at_report = fs.holds > 0;
        };
        const RewriteResult result = reported_run(fs, "t", events);
        const std::string where = "way " + std::to_string(way.size()) + " call " +
                                  std::to_string(i) + " lands " + std::to_string(lands);
        EXPECT_EQ(reports, 1) << where;
        EXPECT_EQ(fs.open_work_files, 0) << where;
        EXPECT_EQ(fs.holds, 0) << where;
        EXPECT_FALSE(target.locked) << where;
        const auto hold = std::find(fs.log.begin(), fs.log.end(), Call::hold_interrupts);
        const auto truncate = std::find(fs.log.begin(), fs.log.end(), Call::truncate);
        const auto named = std::find_if(fs.log.begin(), fs.log.end(), [](Call call) {
          return call == Call::name_as || call == Call::create_new;
        });
        EXPECT_TRUE(truncate == fs.log.end() || hold < truncate) << where;
        EXPECT_TRUE(named == fs.log.end() || hold < named) << where;
        EXPECT_EQ(held_at_report, hold != fs.log.end()) << where;
        std::vector<std::string> others = fs.list();
        std::erase(others, "t");
        switch (result.outcome) {
          case RewriteOutcome::done:
            // Faults the run can do without: closing a work file that was
            // read to its end, or taking away a lasting name, which the
            // next run then removes as the result it equals.
            EXPECT_TRUE(fs.bytes("t") == result_text) << where;
            for (const std::string& other : others)
              EXPECT_TRUE(fs.bytes(other) == result_text) << where;
            break;
          case RewriteOutcome::failed_after_emptying:
            EXPECT_GT(static_cast<long>(i), emptied) << where;
            EXPECT_EQ(result.error.code, ENOSPC) << where;
            EXPECT_TRUE(result_text.starts_with(*fs.bytes("t"))) << where;
            EXPECT_TRUE(fs.bytes(result.saved_as) == result_text) << where;
            EXPECT_EQ(others, std::vector<std::string>{result.saved_as}) << where;
            break;
          default:
            // An emptying that is refused leaves the file as it was.
            EXPECT_LE(static_cast<long>(i), emptied) << where;
            EXPECT_TRUE(fs.bytes("t") == original) << where;
            EXPECT_TRUE(others.empty()) << where;
        }
      }
    }
  }
}

// Other runs and other programs at work on the same file, and the text an
// earlier run that was killed may have left.
TEST(RunIndentRemoval, SharesTheFileSafely) {
  const std::string original = "  a\n  b\n";
  const std::string result_text = model(original);
  struct Case {
    const char* what;
    std::function<void(MemoryFileSystem&)> set_up;
    RewriteOutcome outcome;
    std::string file;                 // what "t" holds afterwards
    std::vector<std::string> others;  // every other name afterwards
    std::string told;                 // the events, in order
  };
  const auto append_meanwhile = [](MemoryFileSystem& fs) {
    fs.meddles = {{Call::create_work_file, 1, [&fs] {
                     MemoryNode& node = *fs.names["t"];
                     node.bytes += "x\n";
                     node.modified = ++fs.clock;
                   }}};
  };
  const auto saved = [](const std::string& where, const std::string& bytes) {
    return [where, bytes](MemoryFileSystem& fs) { fs.put(where, bytes); };
  };
  const std::string kInTemp = saved_name("/tmp", result_text);
  const std::string kBeside = saved_name(".", result_text);
  const Case cases[] = {
      {"another run holds the lock",
       [](MemoryFileSystem& fs) { fs.lock_busy = true; },
       RewriteOutcome::done,
       result_text,
       {},
       "waiting copying "},
      {"appended to meanwhile",
       append_meanwhile,
       RewriteOutcome::changed,
       original + "x\n",
       {},
       ""},
      {"renamed over meanwhile",
       [](MemoryFileSystem& fs) {
         fs.meddles = {{Call::identity_of, 1, [&fs] { fs.put("t", "new"); }}};
       },
       RewriteOutcome::changed,
       "new",
       {},
       "copying "},
      {"a request to stop came",
       [](MemoryFileSystem& fs) { fs.interrupt = true; },
       RewriteOutcome::interrupted,
       original,
       {},
       "copying "},
      {"killed while writing back",
       [&](MemoryFileSystem& fs) {
         fs.names["t"]->bytes = "a\r";
         fs.put(kInTemp, result_text);
       },
       RewriteOutcome::done,
       result_text,
       {},
       "resumed " + kInTemp + " copying "},
      {"killed while writing back; its text cannot be removed now",
       [&](MemoryFileSystem& fs) {
         fs.names["t"]->bytes = "a\r";
         fs.put(kInTemp, result_text);
         fs.faults = {{Call::remove, 1, EACCES}};
       },
       RewriteOutcome::done,
       result_text,
       {kInTemp},
       "resumed " + kInTemp + " copying "},
      {"killed once all was back",
       saved(saved_name("/tmp", original), original),
       RewriteOutcome::done,
       result_text,
       {},
       "copying "},
      {"killed before emptying",
       saved(kBeside, result_text),
       RewriteOutcome::done,
       result_text,
       {},
       "copying "},
      {"changed since the kill",
       saved(saved_name("/tmp", "other\r\n"), "other\r\n"),
       RewriteOutcome::saved_differs,
       original,
       {saved_name("/tmp", "other\r\n")},
       ""},
      {"a saved text shorter than its name says",
       saved(kInTemp, "a\r"),
       RewriteOutcome::done,
       result_text,
       {},
       "removed copying "},
      {"another program keeps openers waiting",
       [](MemoryFileSystem& fs) { fs.lease_busy = true; },
       RewriteOutcome::done,
       result_text,
       {},
       "waiting copying "},
      {"another program let in before the emptying",
       [](MemoryFileSystem& fs) {
         fs.leases = true;
         fs.meddles = {{Call::identity_of, 1, [&fs] { fs.let_in = true; }}};
       },
       RewriteOutcome::changed,
       original,
       {},
       "copying "},
      {"another program let in during the write-back",
       [](MemoryFileSystem& fs) {
         fs.leases = true;
         fs.meddles = {{Call::truncate, 1, [&fs] { fs.let_in = true; }}};
       },
       RewriteOutcome::others_let_in,
       "",
       {kBeside},
       "copying "},
      {"rewritten in place within one tick",
       [](MemoryFileSystem& fs) {
         fs.meddles = {{Call::name_as, 1, [&fs] { fs.names["t"]->bytes[2] = 'X'; }}};
       },
       RewriteOutcome::changed,
       "  X\n  b\n",
       {},
       "copying "},
      {"nowhere outlives a restart",
       [](MemoryFileSystem& fs) {
         fs.closed_directories = {"."};
         fs.emptied_by_restart = {"/tmp"};
       },
       RewriteOutcome::done,
       result_text,
       {},
       "restart copying "},
      {"saved text swapped for another once checked",
       [&](MemoryFileSystem& fs) {
         fs.names["t"]->bytes = "a\r";
         fs.put(kInTemp, result_text);
         // Swapped once it was checked: before it is read (after the file is
         // fingerprinted), or opened again.
         const auto swap = [&fs, &kInTemp] {
           fs.put(kInTemp, "a\r\nEVIL\r\n").owned_by_user = false;
         };
         fs.meddles = {{Call::read, 4, swap}, {Call::open_for_reading, 3, swap}};
       },
       RewriteOutcome::done,
       result_text,
       {kInTemp},
       "resumed " + kInTemp + " copying "},
      {"saved by a run with the usual temporary directory",
       [&](MemoryFileSystem& fs) {
         fs.temp_directory = "/elsewhere";
         fs.names["t"]->bytes = "a\r";
         fs.put(kInTemp, result_text);
       },
       RewriteOutcome::done,
       result_text,
       {},
       "resumed " + kInTemp + " copying "},
      {"saved for an earlier file with the same numbers",
       saved(saved_name("/tmp", result_text + "x", "1-1"), result_text + "x"),
       RewriteOutcome::done,
       result_text,
       {saved_name("/tmp", result_text + "x", "1-1")},
       "copying "},
      {"emptied, or new with the numbers of a deleted file",
       [&](MemoryFileSystem& fs) {
         fs.names["t"]->bytes.clear();
         fs.names["t"]->identity.born = 0;  // no birth times kept
         fs.put(saved_name("/tmp", result_text, "1-1"), result_text);
       },
       RewriteOutcome::saved_unsure,
       "",
       {saved_name("/tmp", result_text, "1-1")},
       ""},
      {"a copy that a killed run never finished",
       saved(kInTemp + ".part", "a\r"),
       RewriteOutcome::done,
       result_text,
       {},
       "copying "},
      {"no lasting name anywhere",
       [](MemoryFileSystem& fs) {
         fs.faults = {{Call::name_as, 1, EPERM},
                      {Call::create_new, 1, ENOSPC},
                      {Call::create_new, 2, EACCES}};
       },
       RewriteOutcome::not_saved,
       original,
       {},
       ""},
  };
  for (const Case& c : cases) {
    MemoryFileSystem fs;
    MemoryNode& target = fs.put("t", original);
    c.set_up(fs);
    std::string told;
    RewriteEvents events;
    events.told = [&](Notice notice, const std::string& path) {
      const char* const words[] = {"waiting ", "removed ", "restart ", "resumed ", "copying "};
      told += words[static_cast<int>(notice)];
      if (notice == Notice::resumed) told += path + " ";
      if (notice == Notice::copying_back) {
        EXPECT_TRUE(target.locked) << c.what;
      }
    };
    EXPECT_EQ(reported_run(fs, "t", events).outcome, c.outcome) << c.what;
    EXPECT_EQ(fs.bytes("t"), c.file) << c.what;
    std::vector<std::string> others = fs.list();
    std::erase(others, "t");
    EXPECT_EQ(others, c.others) << c.what;
    EXPECT_EQ(told, c.told) << c.what;
  }
}

// However long telling of the copy-back takes, whatever another program
// writes meanwhile is seen before the file is emptied.
TEST(RunIndentRemoval, SeesWritesMadeWhileTheCopyBackIsTold) {
  MemoryFileSystem fs;
  MemoryNode& node = fs.put("t", "  a\n");
  RewriteEvents events;
  events.told = [&](Notice notice, const std::string&) {
    if (notice != Notice::copying_back) return;
    node.bytes += "b\n";
    node.modified = ++fs.clock;
  };
  EXPECT_EQ(reported_run(fs, "t", events).outcome, RewriteOutcome::changed);
  EXPECT_EQ(fs.bytes("t"), "  a\nb\n");
  EXPECT_EQ(fs.list(), std::vector<std::string>{"t"});
}

// Whatever stands where an earlier run's text would be and is not surely
// that text is left alone, and so is the file, which may be incomplete: the
// run names it and says why.
TEST(RunIndentRemoval, TrustsOnlyTextThisUserSaved) {
  const std::string original = "  a\n";
  const std::string kInTemp = saved_name("/tmp", "");
  const struct {
    Distrust why;
    std::function<void(MemoryFileSystem&)> plant;
  } cases[] = {
      {Distrust::foreign, [&](MemoryFileSystem& fs) { fs.put(kInTemp, "").owned_by_user = false; }},
      {Distrust::writable_by_others,
       [&](MemoryFileSystem& fs) { fs.put(kInTemp, "").writable_by_others = true; }},
      {Distrust::other_names,
       [&](MemoryFileSystem& fs) {
         fs.put(kInTemp, "");
         fs.names["elsewhere"] = fs.names[kInTemp];
         ++fs.names[kInTemp]->links;
       }},
      {Distrust::not_regular, [&](MemoryFileSystem& fs) { fs.put(kInTemp, "").regular = false; }},
      {Distrust::the_target, [&](MemoryFileSystem& fs) { fs.names[kInTemp] = fs.names["t"]; }},
      {Distrust::open_directory,
       [&](MemoryFileSystem& fs) {
         fs.put(kInTemp, "");
         fs.open_directories.insert("/tmp");
       }},
      {Distrust::unreadable, [&](MemoryFileSystem& fs) { fs.symlinks[kInTemp] = "/etc/passwd"; }},
  };
  for (const auto& c : cases) {
    MemoryFileSystem fs;
    fs.put("t", original);
    c.plant(fs);
    const std::vector<std::string> planted = fs.list();
    const RewriteResult result = rewrite(fs);
    const auto what = static_cast<int>(c.why);
    EXPECT_EQ(result.outcome, RewriteOutcome::saved_unused) << what;
    EXPECT_EQ(result.distrust, c.why) << what;
    EXPECT_EQ(result.saved_as, kInTemp) << what;
    EXPECT_EQ(fs.bytes("t"), original) << what;
    EXPECT_EQ(fs.list(), planted) << what;
  }
}

}  // namespace
}  // namespace ostrel
