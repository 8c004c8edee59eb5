// The built executable on a file that others use too: other runs at the
// same time, programs that rename, replace, swap or append to it in the
// middle of a run, closed standard descriptors, and kill -9 at any moment
// followed by the next run. The file always ends as it was, as the other
// program left it, or correctly rewritten, and "Done!" means it was.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app/messages.h"
#include "app/test_process.h"
#include "rewrite/indent_removal.h"
#include "rewrite/reference_model.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

const std::string kChanged =
    "The file was changed or replaced by another program while it was being rewritten.\nIt was "
    "left as that program left it.\n";

using Sharing = Executable;

// A directory that the user nobody owns, in dir, for the tests run as root.
fs::path directory_of_nobody(const fs::path& dir) {
  fs::path theirs = dir / "theirs";
  fs::create_directory(theirs);
  EXPECT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  return theirs;
}

TEST_F(Sharing, ConcurrentRunsOnOneFileOrTwoLinksEndCorrect) {
  const std::string original = indented(20000);
  const std::string result = reference_rewrite(original);
  const fs::path file = dir_ / "f";
  const fs::path link = dir_ / "g";
  for (int round = 0; round < 40; ++round) {
    write_file(file, original);
    fs::remove(link);
    fs::create_hard_link(file, link);
    const fs::path other = round % 2 == 0 ? file : link;
    Child first(exe_, {file.string()}, tmp_);
    Child second(exe_, {other.string()}, tmp_);
    const RunResult a = first.finish();
    const RunResult b = second.finish();
    EXPECT_EQ(a.status, 0) << round << a.out;
    EXPECT_EQ(b.status, 0) << round << b.out;
    ASSERT_TRUE(read_file(file) == result) << "round " << round;
  }
}

// Stops the run in the middle of reading the file, lets another program
// act, and lets the run go on.
RunResult meddle(const fs::path& exe, const fs::path& file, const fs::path& tmp,
                 const std::function<void()>& act) {
  Child child(exe, {file.string()}, tmp);
  EXPECT_TRUE(child.stop_while_reading(file));
  act();
  ::kill(child.pid(), SIGCONT);
  return child.finish();
}

TEST_F(Sharing, LeavesWhatAnotherProgramDidMeanwhile) {
  // An appender waits for the run's lease; it is let in after a second.
  const ShortLeaseBreak short_break;
  const std::string original = indented(16 << 20);
  const fs::path file = dir_ / "f";
  const fs::path victim = dir_ / "victim";
  const struct {
    const char* what;
    std::function<void()> act;
    std::function<void()> check;
  } cases[] = {
      {"an editor saves: a new file renamed over it",
       [&] {
         write_file(dir_ / "saved", "edited\n");
         fs::rename(dir_ / "saved", file);
       },
       [&] { EXPECT_EQ(read_file(file), "edited\n"); }},
      {"a log line appended",
       [&] { std::ofstream(file, std::ios::binary | std::ios::app) << "appended\n"; },
       [&] { EXPECT_TRUE(read_file(file) == original + "appended\n"); }},
      {"the name swapped for a symbolic link to another file",
       [&] {
         fs::remove(file);
         fs::create_symlink(victim, file);
       },
       [&] {
         EXPECT_EQ(read_file(victim), "  not yours\n");
         EXPECT_TRUE(fs::is_symlink(file));
       }},
      {"the name swapped for a FIFO",
       [&] {
         fs::remove(file);
         ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
       },
       [&] { EXPECT_TRUE(fs::is_fifo(file)); }},
  };
  for (const auto& c : cases) {
    fs::remove(file);
    write_file(file, original);
    write_file(victim, "  not yours\n");
    const RunResult run = meddle(exe_, file, tmp_, c.act);
    EXPECT_EQ(run.status, 1) << c.what;
    EXPECT_TRUE(run.out.ends_with(kChanged)) << c.what << ": " << run.out;
    c.check();
  }
}

// A program that opens the file while it is written back (an editor saving
// in place, a shell appending) waits until the write-back is over, so what
// it writes comes after, whole. The run is held still between the notice and
// the end of the write-back until the opener is seen waiting for the lease
// (or has already written, which is the fault).
TEST_F(Sharing, ProgramsOpeningTheFileDuringTheWriteBackWait) {
  const fs::path file = dir_ / "f";
  const std::string original = indented(8 << 20);
  const std::string result = reference_rewrite(original);
  ASSERT_LT(result.size(), original.size());
  // The write-back takes a few milliseconds, which a loaded machine may let
  // a run finish before it is stopped: then another run is tried.
  for (int attempt = 0;; ++attempt) {
    if (attempt == 5) GTEST_SKIP() << "a loaded machine let five runs finish their write-back";
    write_file(file, original);
    Child child(exe_, {file.string()}, tmp_);
    ASSERT_TRUE(child.wait_for_output("Copying back over original..."));
    if (!child.stop_when([&] {
          return fs::file_size(file) < result.size() || fs::file_size(file) == original.size();
        })) {
      EXPECT_EQ(child.finish().status, 0);
      continue;
    }
    std::atomic<bool> appended = false;
    std::thread appender([&] {
      std::ofstream(file, std::ios::binary | std::ios::app) << "added\n";
      appended = true;
    });
    const auto waiting_for_the_lease = [] {
      std::ifstream locks("/proc/locks");
      for (std::string line; std::getline(locks, line);) {
        if (line.find("BREAKING") != std::string::npos) return true;
      }
      return false;
    };
    // Bounded, should /proc/locks not show leases here: the run then goes on
    // after 5 s, and the file tells whether the opener waited.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!appended && !waiting_for_the_lease() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::yield();
    }
    ::kill(child.pid(), SIGCONT);
    const RunResult run = child.finish();
    appender.join();
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(read_file(file) == result + "added\n");
    return;
  }
}

// Output into the file itself would land inside it: refused before a word.
TEST_F(Sharing, RefusesToWriteItsOutputIntoTheFile) {
  const fs::path file = dir_ / "f";
  write_file(file, kSample);
  const RunResult run = run_exe({file.string()}, tmp_, {.output_file = file.string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "ostrel: the output goes into the file to be rewritten; the file was not "
            "changed.\n");
  EXPECT_EQ(read_file(file), kSample);
}

// Files of the kernel's file systems say they are regular files; rewriting
// one would change the machine's settings, not a text.
TEST_F(Sharing, TakesNoFileOfTheKernel) {
  const RunResult run = run_exe({"/proc/self/status"}, tmp_);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.ends_with("Could not open file\n")) << run.out;
}

// Root rewriting a file in a directory that another user may write: a swap
// of the name for a symbolic link never makes root write elsewhere.
TEST_F(Sharing, SwapInAnotherUsersDirectoryNeverWritesElsewhere) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the directory to another user";
  const fs::path theirs = directory_of_nobody(dir_);
  const fs::path file = theirs / "f";
  write_file(file, indented(16 << 20));
  write_file(dir_ / "precious", "  root's own\n");
  const RunResult run = meddle(exe_, file, tmp_, [&] {
    fs::remove(file);
    fs::create_symlink(dir_ / "precious", file);
  });
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(read_file(dir_ / "precious"), "  root's own\n");
}

// In a directory of another user, that user can give any of root's files
// there the name of a saved text of the file being rewritten. No text is
// kept or looked for in such a directory, so root neither copies it into
// the file nor removes it, and the run is not stopped by it.
TEST_F(Sharing, TakesNoSavedTextFromAnotherUsersDirectory) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the directory to another user";
  const fs::path theirs = directory_of_nobody(dir_);
  const fs::path file = theirs / "f";
  write_file(file, "");
  const std::string secret = "root's secret\n";
  const fs::path planted = theirs / saved_text_name("f", secret);
  // And in the shared temporary folders, named for the file's path.
  const std::vector<fs::path> all = {
      planted, "/tmp" / fs::path(saved_text_name(fs::canonical(file).string(), secret)),
      "/var/tmp" / fs::path(saved_text_name(fs::canonical(file).string(), secret))};
  for (const fs::path& at : all) {
    write_file(at, secret);
    fs::permissions(at, fs::perms::owner_read | fs::perms::owner_write);
  }
  ASSERT_EQ(saved_texts_of(file), std::vector<fs::path>{planted});
  const RunResult run = run_exe({file.string()}, tmp_);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(read_file(file), "");
  for (const fs::path& at : all) {
    EXPECT_EQ(read_file(at), secret) << at;
    fs::remove(at);
  }
}

// A writable file of another user in a sticky, world-writable directory,
// which the kernel protects against opening with O_CREAT.
TEST_F(Sharing, RewritesAnotherUsersFileInAStickyDirectory) {
  const char* knob = "/proc/sys/fs/protected_regular";
  std::string before;
  std::ifstream(knob) >> before;
  if (::geteuid() != 0 || before.empty()) GTEST_SKIP() << "needs root and " << knob;
  std::ofstream(knob) << "1";
  const fs::path sticky = dir_ / "sticky";
  fs::create_directory(sticky);
  fs::permissions(sticky, fs::perms::all | fs::perms::sticky_bit);
  const fs::path file = sticky / "f";
  write_file(file, kSample);
  ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
  fs::permissions(file, fs::perms::all);
  const RunResult run = run_exe({file.string()}, tmp_);
  std::ofstream(knob) << before;
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(read_file(file), kResult);
}

TEST_F(Sharing, ClosedStandardDescriptorsNeverReceiveTheText) {
  const fs::path file = dir_ / "f";
  write_file(file, kSample);
  const RunResult run = run_exe({file.string()}, tmp_, {.close_standard = true});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(file), kResult);
}

// Standard output full, and the write-back failing on a full file system
// under a file with a name as long as names go: where the complete text is
// still reaches the user, on standard error.
TEST_F(Sharing, LongNameFullDiskAndFailingOutputStillSayWhereTheTextIs) {
  const fs::path small = dir_ / "small";
  fs::create_directory(small);
  // Three inodes: the root, the file, and room for the file's mark.
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m,nr_inodes=3") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs: " << std::strerror(errno);
  }
  const fs::path file = small / std::string(255, 'n');
  std::string original;
  while (original.size() < 800000) original += "x\n";
  write_file(file, original);
  const RunResult run = run_exe({file.string()}, tmp_, {.output_file = "/dev/full"});
  ::umount2(small.c_str(), MNT_DETACH);
  const std::string marker = "Its complete new text is saved in \"";
  const std::size_t at = run.err.find(marker);
  ASSERT_NE(at, std::string::npos) << run.err;
  const std::string saved = run.err.substr(
      at + marker.size(), run.err.find('"', at + marker.size()) - at - marker.size());
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(read_file(saved) == reference_rewrite(original));
  fs::remove(saved);
}

// kill -9 while the file is read, right after the copy-back is announced,
// and in the middle of the write-back, with the new text kept beside the
// file and in the private directory: the text survives, and the next run
// finds it, finishes the write-back, says so, and removes it and the mark.
TEST_F(Sharing, NextRunFinishesWhatKillNineInterrupted) {
  fs::create_directory(dir_ / "own");
  const std::string original = indented(8 << 20);
  const std::string result = reference_rewrite(original);
  ASSERT_LT(result.size(), original.size());
  enum Moment { kReading, kAnnounced, kWritingBack };
  for (const fs::path& file : {dir_ / "f", dir_ / "own" / "f"}) {
    for (const Moment moment : {kReading, kAnnounced, kWritingBack}) {
      const std::string where = file.string() + ", moment " + std::to_string(moment);
      if (moment == kWritingBack) {
        const fs::path saved = killed_in_write_back(file, original, result.size(), 1);
        if (saved.empty()) GTEST_SKIP() << where << ": a loaded machine let five runs finish";
        EXPECT_EQ(saved_texts_of(file), std::vector<fs::path>{saved}) << where;
        EXPECT_TRUE(read_file(saved) == result) << where;
      } else {
        // A loaded machine may let a run finish before it is stopped: then
        // another run is tried.
        bool stopped = false;
        for (int attempt = 0; !stopped; ++attempt) {
          if (attempt == 5) GTEST_SKIP() << where << ": a loaded machine let five runs pass it";
          write_file(file, original);
          Child child(exe_, {file.string()}, tmp_);
          stopped = moment == kReading ? child.stop_while_reading(file)
                                       : child.wait_for_output("Copying back over original...");
          ::kill(child.pid(), SIGKILL);
          child.finish();
        }
      }
      const RunResult next = run_exe({file.string()}, tmp_);
      EXPECT_EQ(next.status, 0) << where << ": " << next.out;
      EXPECT_TRUE(read_file(file) == result) << where;
      // Killed right after the notice, the run may or may not have begun.
      const bool finished = next.out.find(
                                "Finished writing back the new text that an earlier "
                                "run left unfinished") != std::string::npos;
      if (moment != kAnnounced) {
        EXPECT_EQ(finished, moment == kWritingBack) << where << ": " << next.out;
      }
      EXPECT_TRUE(saved_texts_of(file).empty()) << where;
      EXPECT_EQ(mark_of(file), "") << where;
    }
  }
}

}  // namespace
}  // namespace ostrel
