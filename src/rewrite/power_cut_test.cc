// Power cuts after every call of a run, on the real file system, through
// the wrapper that keeps account of what was forced to disk: whatever a cut
// leaves, the next run ends with the file as it was or as it should be, and
// never names anything but the complete new text as that text.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/test_files.h"
#include "rewrite/indent_removal.h"
#include "rewrite/reference_model.h"
#include "rewrite/test_rewrite.h"
#include "streams/faulty_file_system.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using Crash = FaultyFileSystem::Crash;

constexpr Crash kCrashes[] = {Crash::kept, Crash::lost, Crash::old};

std::string at(std::size_t stop, Crash crash) {
  return "cut after call " + std::to_string(stop) + " in state " +
         std::to_string(static_cast<int>(crash));
}

class PowerCut : public ::testing::Test {
 protected:
  void SetUp() override {
    // What reaches the disk is the wrapper's account, not the disk's: a
    // file system in memory, where there is one, spares the real flushes.
    // One directory a test and a run: ctest runs tests side by side, and
    // other suites may run on the same machine.
    base_ = fs::path(fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path()) /
            (std::string("ostrel-power-cut-") +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
             std::to_string(std::random_device{}()));
    fs::remove_all(base_);
    fs::create_directories(base_ / "tmp");
    fs::create_directories(base_ / "dir");
    file_ = base_ / "dir" / "f";
    for (int i = 0; original_.size() < 20000; ++i) {
      original_ += std::string(i % 5, ' ') + "line " + std::to_string(i) + "\n";
    }
    result_ = reference_rewrite(original_);
  }
  void TearDown() override { fs::remove_all(base_); }

  // A run on machine that stops after stop more calls (never, if none),
  // and then leaves the files as crash says.
  RewriteResult run(FaultyFileSystem& machine, std::optional<std::size_t> stop, Crash crash) {
    machine.stop_after.reset();
    if (stop) machine.stop_after = machine.log.size() + *stop;
    RewriteResult result = reported_run(machine, utf8_of(file_));
    machine.cut(crash);
    return result;
  }

  // The calls of a whole run on a file in the state that set_up leaves.
  template <class SetUp>
  std::size_t calls_of_a_run(SetUp set_up) {
    const auto machine_owner = new_machine();
    FaultyFileSystem& machine = *machine_owner;
    set_up(machine);
    const std::size_t before = machine.log.size();
    run(machine, std::nullopt, Crash::kept);
    EXPECT_TRUE(read_file(file_) == result_);
    return machine.log.size() - before;
  }

  // Runs on a file as set_up leaves it, each cut after one of its calls in
  // each state, and each followed by the next run.
  template <class SetUp>
  void cut_after_every_call(SetUp set_up, const std::string& what) {
    const std::size_t calls = calls_of_a_run(set_up);
    for (std::size_t stop = 0; stop <= calls; ++stop) {
      for (const Crash crash : kCrashes) {
        const auto machine_owner = new_machine();
        FaultyFileSystem& machine = *machine_owner;
        set_up(machine);
        run(machine, stop, crash);
        machine.faults.clear();
        expect_nothing_lost(machine, what + ", " + at(stop, crash));
      }
    }
  }

  std::unique_ptr<FaultyFileSystem> new_machine() const {
    auto machine = std::make_unique<FaultyFileSystem>(os_file_system());
    machine->private_dir = base_ / "tmp";
    return machine;
  }

  // After a cut: the next run ends with the file as it was or as it should
  // be, or fails naming a file that holds the complete new text; once it is
  // done, no saved text is left.
  void expect_nothing_lost(FaultyFileSystem& machine, const std::string& where) {
    const RewriteResult next = run(machine, std::nullopt, Crash::kept);
    const std::string after = read_file(file_);
    const bool named = next.outcome != RewriteOutcome::done && !next.saved_as.empty() &&
                       read_file(path_from_utf8(next.saved_as)) == result_;
    EXPECT_TRUE(after == original_ || after == result_ || named)
        << where << ": " << after.size() << " bytes, outcome " << static_cast<int>(next.outcome);
    if (next.outcome == RewriteOutcome::done) {
      EXPECT_TRUE(after == result_) << where;
      EXPECT_TRUE(saved_texts().empty()) << where;
    }
    for (const fs::path& saved : saved_texts()) fs::remove(saved);
  }

  // The original in a new file: one that a failed run left marked would
  // lead the next run to a text that is gone.
  void fresh_file() const {
    fs::remove(file_);
    write_file(file_, original_);
  }

  std::vector<fs::path> saved_texts() const {
    std::vector<fs::path> found;
    for (const fs::path& dir : {base_ / "dir", base_ / "tmp"}) {
      for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().starts_with("ostrel-saved-")) {
          found.push_back(entry.path());
        }
      }
    }
    return found;
  }

  fs::path base_;
  fs::path file_;
  std::string original_;
  std::string result_;
};

TEST_F(PowerCut, AfterEveryCallOfARun) {
  // The work file beside the file, and in the private directory.
  for (const std::vector<Fault>& way :
       {std::vector<Fault>{}, std::vector<Fault>{{Call::create_work_file, 1, ENOSPC}}}) {
    const auto set_up = [&](FaultyFileSystem& machine) {
      fresh_file();
      machine.faults = way;
    };
    cut_after_every_call(set_up, "way " + std::to_string(way.size()));
  }
}

TEST_F(PowerCut, AfterEveryCallOfARunThatFinishesAnEarlierOne) {
  // A first run stopped in its write-back, none of which was forced to
  // disk: once half the text was back, and once all of it was. The next
  // run finishes it, and is itself cut after each of its calls.
  for (const bool half : {true, false}) {
    const auto set_up = [&](FaultyFileSystem& machine) {
      fresh_file();
      // Stopped at the flush of the file once it is written back: after
      // that of the work file, and of the file's mark where it keeps one.
      std::unique_ptr<File> file;
      std::string mark;
      bool marks = false;
      ASSERT_TRUE(os_file_system().open_for_update(file_, file, false).ok());
      ASSERT_TRUE(file->read_mark(mark, marks).ok());
      file.reset();
      machine.meddles = {
          {Call::sync, marks ? 3 : 2, [&] { machine.stop_after = machine.log.size() - 1; }}};
      reported_run(machine, utf8_of(file_));
      machine.meddles.clear();
      ASSERT_TRUE(read_file(file_) == result_);
      if (half) write_file(file_, result_.substr(0, result_.size() / 2));
      ASSERT_EQ(saved_texts().size(), 1U);
    };
    cut_after_every_call(set_up, std::string(half ? "half" : "all") + " back, finishing");
  }
}

}  // namespace
}  // namespace ostrel
