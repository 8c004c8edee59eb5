// Support for tests that run the built executable on real files.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/test_files.h"

namespace ostrel {

struct RunResult {
  int status = -1;  // the exit status, or 128 + the signal that ended it
  int signal = 0;   // the signal that ended it, if one did
  std::string out;  // standard output
  std::string err;  // standard error
};

struct RunOptions {
  std::optional<uid_t> uid{};                // run as this user
  std::optional<unsigned long> file_size{};  // RLIMIT_FSIZE, in bytes
  bool close_output = false;                 // standard output a pipe nobody reads
  bool close_standard = false;               // standard input, output and error closed
  std::string output_file{};                 // standard output written to this file
};

inline const char* const kLeaseBreakTime = "/proc/sys/fs/lease-break-time";

// The kernel lets an opener in after one second instead of 45, for the
// test's length; restored after. Tests that shorten it take turns, so that
// each restores what was there before any of them. (Needs root; without it,
// nothing changes.)
class ShortLeaseBreak {
 public:
  ShortLeaseBreak()
      : turn_(::open("/tmp/ostrel-lease-break-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    ::flock(turn_, LOCK_EX);
    std::ifstream(kLeaseBreakTime) >> before_;
    std::ofstream(kLeaseBreakTime) << "1";
  }
  ShortLeaseBreak(const ShortLeaseBreak&) = delete;
  ShortLeaseBreak& operator=(const ShortLeaseBreak&) = delete;
  ~ShortLeaseBreak() {
    std::ofstream(kLeaseBreakTime) << before_;
    ::close(turn_);
  }

 private:
  int turn_;
  std::string before_;
};

// A started run of the executable.
class Child {
 public:
  Child(const std::string& exe, const std::vector<std::string>& args, const std::string& tmpdir,
        const RunOptions& options = {});
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  pid_t pid() const { return pid_; }
  // Reads standard output until it holds text or ends; true if it holds text.
  bool wait_for_output(const std::string& text);
  // Stops the run, again and again, until reached() holds while it is
  // stopped, and leaves it stopped there. False if the run ended first.
  bool stop_when(const std::function<bool()>& reached) const;
  // Stops the run at a moment when it has read some, but not all, of file,
  // and not yet emptied it. False if it never did.
  bool stop_while_reading(const std::filesystem::path& file) const;
  // Stops the run at a moment when it has emptied file and not yet written
  // all of its new text, of new_size bytes, back into it. False if it never
  // did.
  bool stop_while_writing_back(const std::filesystem::path& file, std::uintmax_t new_size) const;
  // Waits for the end of the run.
  RunResult finish();

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
};

// The user's private directory, where the new texts of files in folders
// that others may write are kept.
std::filesystem::path private_directory();

// The complete new texts an earlier run kept for file, as a later run looks
// for them: beside it, named for its name, and in the user's private
// directory, named for its whole path (symbolic links resolved).
std::vector<std::filesystem::path> saved_texts_of(const std::filesystem::path& file);

// The name under which a run keeps text as the new text of a file, where
// key is that file's name (beside it) or its whole path (in the private
// directory).
std::string saved_text_name(const std::string& key, const std::string& text);

// The mark file carries while a run writes it back: the path of its
// complete new text. Empty when it carries none.
std::string mark_of(const std::filesystem::path& file);

// A fresh directory for each test, open to every user, with an empty
// directory tmp_ that TMPDIR points at and the program must leave alone, and
// a copy of the executable that any user can reach. At the end, no saved
// text may be left for any file in it, and tmp_ must still be empty.
class Executable : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  RunResult run_exe(const std::vector<std::string>& args, const std::string& tmpdir,
                    const RunOptions& options = {}) const;
  // Leaves file as a run killed (kill -9) in its write-back leaves it: at
  // least at_least bytes of the new text of new_size bytes, made from
  // original, and a mark that leads to the whole of it, whose path it
  // returns. A run that ends before it is stopped there is tried again;
  // empty if none was.
  std::filesystem::path killed_in_write_back(const std::filesystem::path& file,
                                             const std::string& original, std::uintmax_t new_size,
                                             std::uintmax_t at_least) const;

  std::filesystem::path dir_;
  std::filesystem::path tmp_;
  std::filesystem::path exe_;
};

}  // namespace ostrel
