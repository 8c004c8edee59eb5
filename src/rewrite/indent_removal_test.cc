#include "rewrite/indent_removal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <string>

#include "rewrite/reference_model.h"
#include "streams/memory_file_system.h"

namespace ostrel {
namespace {

using namespace std::string_literals;

std::string model(const std::string& input) { return reference_rewrite(input); }

RewriteResult rewrite(MemoryFileSystem& fs, const std::string& name = "t") {
  return run_indent_removal(fs, name, [] {});
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
    fs.files["t"] = c.input;
    const RewriteResult result = rewrite(fs);
    EXPECT_EQ(result.outcome, RewriteOutcome::done);
    EXPECT_EQ(fs.files["t"], c.output) << "input: " << c.input;
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
      // Mostly short runs, now and then one longer than the line buffer.
      const std::size_t length = random() % 8 == 0 ? random() % 3000 : random() % 12;
      const char c = alphabet[random() % alphabet.size()];
      input.append(length, c == 'x' ? static_cast<char>('a' + random() % 26) : c);
    }
    MemoryFileSystem fs;
    fs.files["t"] = input;
    fs.read_chunk = 1 + random() % 2000;
    ASSERT_EQ(rewrite(fs).outcome, RewriteOutcome::done);
    ASSERT_EQ(fs.files["t"], model(input)) << "round " << round;
  }
}

// Every I/O call of a run, failed in turn, cut short when it is a write, and
// with the rescue failing too or not: before the target is emptied it stays
// byte for byte as it was; after, what it holds is a true prefix of the
// result and the complete result is saved, or the failure to save it is
// reported. Never a false "done".
TEST(RunIndentRemoval, EveryFailureLeavesTheTextWholeOrSaysWhereItIs) {
  std::string original;
  for (int i = 0; i < 12000; ++i) original += "  line " + std::to_string(i) + "\r\n\t x\n";
  const std::string result_text = model(original);

  MemoryFileSystem clean;
  clean.files["t"] = original;
  clean.read_chunk = 100000;
  ASSERT_EQ(rewrite(clean).outcome, RewriteOutcome::done);
  const std::vector<Call> log = clean.log;
  const auto emptied = std::find(log.begin(), log.end(), Call::open_truncated) - log.begin();
  ASSERT_LT(emptied, static_cast<long>(log.size()));
  ASSERT_GE(clean.calls[Call::write], 4);

  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log[i] == Call::hold_interrupts) continue;
    const auto nth =
        static_cast<int>(std::count(log.begin(), log.begin() + static_cast<long>(i) + 1, log[i]));
    const bool after_emptying = static_cast<long>(i) > emptied;
    for (const std::size_t lands : {std::size_t{0}, std::size_t{1000}}) {
      for (const bool rescue_fails : {false, true}) {
        if ((lands > 0 && log[i] != Call::write) || (rescue_fails && !after_emptying)) continue;
        MemoryFileSystem fs;
        fs.files["t"] = original;
        fs.read_chunk = clean.read_chunk;
        fs.faults = {Fault{log[i], nth, ENOSPC, lands}};
        if (rescue_fails) fs.faults.push_back(Fault{Call::save_work_file, 1, EIO});
        const RewriteResult result = rewrite(fs);
        const std::string where = "call " + std::to_string(i) + " lands " + std::to_string(lands) +
                                  " rescue fails " + std::to_string(static_cast<int>(rescue_fails));
        EXPECT_EQ(fs.open_work_files, 0) << where;
        EXPECT_EQ(fs.interrupts_held, static_cast<long>(i) >= emptied) << where;
        if (i + 1 == log.size()) {
          // Closing the work file after every byte was read back cannot hurt.
          EXPECT_EQ(log[i], Call::close);
          EXPECT_EQ(result.outcome, RewriteOutcome::done) << where;
          EXPECT_EQ(fs.files["t"], result_text) << where;
          continue;
        }
        EXPECT_EQ(result.error.code, ENOSPC) << where;
        if (!after_emptying) {
          EXPECT_EQ(result.outcome,
                    i == 0 ? RewriteOutcome::open_failed : RewriteOutcome::failed_unchanged)
              << where;
          EXPECT_EQ(fs.files["t"], original) << where;
          EXPECT_EQ(fs.files.size(), 1U) << where;
          continue;
        }
        EXPECT_EQ(result.outcome, RewriteOutcome::failed_after_emptying) << where;
        EXPECT_TRUE(result_text.starts_with(fs.files["t"])) << where;
        if (rescue_fails) {
          ASSERT_TRUE(result.save_error.has_value()) << where;
          EXPECT_EQ(result.save_error->code, EIO) << where;
        } else {
          EXPECT_FALSE(result.save_error.has_value()) << where;
          EXPECT_EQ(fs.files[result.saved_as], result_text) << where;
        }
      }
    }
  }
}

}  // namespace
}  // namespace ostrel
