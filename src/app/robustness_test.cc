// Real faults and real signals on the built executable: whatever happens,
// the file holds its original bytes or the complete result, or the run says
// where the complete result was saved.
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "app/test_process.h"
#include "rewrite/reference_model.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

// Short lines, so that the result is half as long again as the original.
std::string short_lines(std::size_t bytes) {
  std::string text;
  while (text.size() < bytes) text += "x\n";
  return text;
}

class Robustness : public Executable {
 protected:
  void TearDown() override {
    for (const fs::path& mount : mounts_) ::umount2(mount.c_str(), MNT_DETACH);
    Executable::TearDown();
  }

  // A small tmpfs of size bytes and at most inodes files at dir_/name;
  // false if mounting is refused.
  bool mount_small(const std::string& name, std::size_t size, int inodes = 100) {
    const fs::path where = dir_ / name;
    fs::create_directory(where);
    const std::string options =
        "size=" + std::to_string(size) + ",nr_inodes=" + std::to_string(inodes) + ",mode=0755";
    if (::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      refusal_ = std::strerror(errno);
      return false;
    }
    mounts_.push_back(where);
    return true;
  }

  std::string refusal_;
  std::vector<fs::path> mounts_;
};

// The file is in a folder that others may write, so its work file goes
// to the private directory alone.
TEST_F(Robustness, FileSizeLimitWhileWritingTheWorkFile) {
  const fs::path file = dir_ / "f";
  const std::string original = short_lines(200000);
  write_file(file, original);
  const RunResult run = run_exe({file.string()}, tmp_, {.file_size = original.size() + 4096});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.ends_with("Could not write the work file in \"" +
                                private_directory().string() +
                                "\": File too large\nThe file was not changed.\n"))
      << run.out;
  EXPECT_TRUE(read_file(file) == original);
}

// No room beside the file for its work file, with room in the private
// directory: the work file moves on there, and the new text is copied back
// once the file is emptied, which leaves room for a smaller or slightly
// larger text; a doubled one cannot fit, and is then kept whole and named.
TEST_F(Robustness, FullFileSystemBesideTheFileMovesTheWorkFileOn) {
  std::string slightly_larger;  // one line in a hundred gains a CR
  for (int line = 0; slightly_larger.size() < 200000; ++line) {
    slightly_larger += line % 100 == 0 ? "x\n" : "x\r\n";
  }
  std::string smaller;
  while (smaller.size() < 200000) smaller += "    x\n";
  const struct {
    const char* what;
    std::string original;
    bool fits;
  } cases[] = {{"smaller", smaller, true},
               {"slightly larger", slightly_larger, true},
               {"doubled", std::string(200000, '\n'), false}};
  for (const auto& [what, original, fits] : cases) {
    const std::string result = reference_rewrite(original);
    const std::string name = std::string("small-") + what[0];
    // Room for the file and a little more, less than its new text.
    if (!mount_small(name, original.size() + (64 << 10))) {
      GTEST_SKIP() << "cannot mount a tmpfs: " << refusal_;
    }
    const fs::path file = dir_ / name / "f";
    write_file(file, original);
    const RunResult run = run_exe({file.string()}, tmp_);
    EXPECT_EQ(run.status, fits ? 0 : 1) << what << ": " << run.out;
    if (fits) {
      EXPECT_TRUE(read_file(file) == result) << what;
    } else {
      const std::vector<fs::path> saved = saved_texts_of(file);
      ASSERT_EQ(saved.size(), 1U) << what;
      EXPECT_NE(run.out.find("saved in \"" + saved[0].string() + "\""), std::string::npos)
          << run.out;
      EXPECT_TRUE(read_file(saved[0]) == result) << what;
      EXPECT_TRUE(result.starts_with(read_file(file))) << what;
      fs::remove(saved[0]);
    }
  }
}

// With no room beside the file for its new text, nor for the whole of it in
// the file, the write-back fails: the complete text is kept in the private
// directory, and once there is room the next run finishes from it.
TEST_F(Robustness, FullFileSystemUnderTheTargetSavesTheResult) {
  // Three inodes: the root, the file, and room for the file's mark, which
  // tmpfs counts against them.
  if (!mount_small("small-target", 1 << 20, 3)) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << refusal_;
  }
  const fs::path file = dir_ / "small-target" / "f";
  const std::string original = short_lines(800000);
  const std::string result = reference_rewrite(original);
  ASSERT_GT(result.size(), std::size_t{1} << 20);
  write_file(file, original);

  const RunResult run = run_exe({file.string()}, tmp_);
  EXPECT_EQ(run.status, 1);
  std::smatch saved;
  ASSERT_TRUE(std::regex_search(
      run.out, saved,
      std::regex("Could not write \"[^\"]*\": No space left on device\nThe file was emptied and "
                 "holds only part of its new text.\nIts complete new text is saved in "
                 "\"([^\"]*)\".\nOnce the cause is fixed, run ostrel on the file again to finish, "
                 "or copy that file over it.\n$")))
      << run.out;
  const fs::path saved_as = saved[1].str();
  EXPECT_EQ(saved_as.parent_path(), private_directory());
  EXPECT_TRUE(read_file(saved_as) == result);
  EXPECT_TRUE(result.starts_with(read_file(file)));

  ASSERT_EQ(::mount(nullptr, file.parent_path().c_str(), nullptr, MS_REMOUNT, "size=4m"), 0);
  const RunResult next = run_exe({file.string()}, tmp_);
  EXPECT_EQ(next.status, 0) << next.out;
  EXPECT_NE(next.out.find("Finished writing back"), std::string::npos) << next.out;
  EXPECT_TRUE(read_file(file) == result);
  EXPECT_FALSE(fs::exists(saved_as));
}

TEST_F(Robustness, ClosedOutputDoesNotStopTheRewrite) {
  const fs::path file = dir_ / "f";
  write_file(file, short_lines(100000));
  Child child(exe_, {file.string()}, tmp_, {.close_output = true});
  const RunResult run = child.finish();
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(read_file(file) == reference_rewrite(short_lines(100000)));
}

// Signals at the moments of a run that matter: while it reads the file,
// before it holds them; as the copy-back is announced; and in the middle of
// the write-back. The file is the original or the complete result, never
// anything between, no work file is left, and a run that had emptied the
// file finishes it and says so before it ends as the signal asks. One
// mechanism holds every signal, so SIGINT goes through every moment and the
// others through the two where they are held.
TEST_F(Robustness, InterruptsNeverLeaveHalfAFile) {
  const fs::path source = dir_ / "source";
  const fs::path file = dir_ / "f";
  const std::string original = indented(std::size_t{8} << 20);
  const std::string result = reference_rewrite(original);
  ASSERT_LT(result.size(), original.size());
  write_file(source, original);

  enum Moment { kReading, kAnnounced, kWritingBack };
  const char* const names[] = {"while it reads the file", "as the copy-back is announced",
                               "while it writes the file back"};
  struct Case {
    int signal;
    Moment moment;
  };
  std::vector<Case> cases;
  for (const Moment moment : {kReading, kAnnounced, kWritingBack}) {
    cases.push_back({SIGINT, moment});
  }
  for (const int signal : {SIGTERM, SIGHUP, SIGUSR1, SIGALRM}) {
    cases.push_back({signal, kAnnounced});
    cases.push_back({signal, kWritingBack});
  }
  for (const auto& [signal, moment] : cases) {
    const std::string where = std::string(strsignal(signal)) + " " + names[moment];
    // A loaded machine may let a run pass the moment before it is stopped,
    // or stop it only in the write-back, which moves through the file as
    // the reading did: then another run is tried.
    std::optional<Child> child;
    for (int attempt = 0;; ++attempt) {
      if (attempt == 5) GTEST_SKIP() << where << ": a loaded machine let five runs pass it";
      fs::copy_file(source, file, fs::copy_options::overwrite_existing);
      child.emplace(exe_, std::vector{file.string()}, tmp_);
      bool stopped = false;
      switch (moment) {
        case kReading:
          stopped = child->stop_while_reading(file) && fs::file_size(file) == original.size();
          break;
        case kAnnounced:
          stopped = child->wait_for_output("Copying back over original...");
          break;
        case kWritingBack:
          stopped = child->stop_while_writing_back(file, result.size());
          break;
      }
      if (stopped) break;
      ::kill(child->pid(), SIGCONT);
      child->finish();
    }
    ::kill(child->pid(), signal);
    ::kill(child->pid(), SIGCONT);
    const RunResult run = child->finish();
    const std::string after = read_file(file);
    EXPECT_TRUE(saved_texts_of(file).empty()) << where;
    EXPECT_EQ(mark_of(file), "") << where;
    switch (moment) {
      case kReading:
        EXPECT_TRUE(after == original) << where << ": " << after.size() << " bytes";
        EXPECT_EQ(run.signal, signal) << where << ": " << run.out;
        break;
      case kAnnounced:
        EXPECT_TRUE(after == original || after == result)
            << where << ": " << after.size() << " bytes, " << run.out;
        EXPECT_TRUE(run.signal == signal || run.status == 0) << where << ": " << run.status;
        break;
      case kWritingBack:
        EXPECT_TRUE(after == result) << where << ": " << after.size() << " bytes, " << run.out;
        EXPECT_TRUE(run.out.ends_with("Done!\n")) << where << ": " << run.out;
        EXPECT_EQ(run.signal, signal) << where << ": " << run.status;
        break;
    }
  }
}

}  // namespace
}  // namespace ostrel
