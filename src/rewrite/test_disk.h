// For tests of runs on the real disk: a fresh directory with the file to
// rewrite, the wrapper the runs go through, and what a row needs of the
// machine it runs on.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/test_files.h"
#include "rewrite/indent_removal.h"
#include "rewrite/test_rewrite.h"
#include "streams/faulty_file_system.h"

namespace ostrel {

#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// The outcome of a run, as it reports it: once, and only once. A report
// that events already hold sees it too.
inline RewriteResult rewrite(FileSystem& file_system, const std::string& name,
                             RewriteEvents events = {}) {
  int reports = 0;
  events.report = [&reports, also = events.report](const RewriteResult& reported) {
    ++reports;
    if (also) also(reported);
  };
  RewriteResult result = reported_run(file_system, name, events);
  EXPECT_EQ(reports, 1);
  return result;
}

// A fresh directory: the file dir/t, the private directory tmp the run is
// given, and another directory. On /dev/shm (tmpfs) where there is one: what
// is forced to disk is not what these tests look at, and a restart empties
// it.
struct Disk {
  explicit Disk(const std::string& bytes) {
    std::filesystem::remove_all(base);
    for (const char* sub : {"dir", "tmp", "other"}) std::filesystem::create_directories(base / sub);
    write_file(file, bytes);
    machine.private_dir = base / "tmp";
#ifndef _WIN32
    // A lease of this process that a run breaks, or the run's that a test
    // breaks, is told by SIGIO, which must not end the tests.
    static_cast<void>(std::signal(SIGIO, SIG_IGN));
#endif
  }
  ~Disk() {
    other.close();
    held.reset();
    std::filesystem::remove_all(base);
  }

  RewriteResult run(const RewriteEvents& events = {}) {
    return rewrite(machine, utf8_of(run_as), events);
  }
  // Leaves the files as a run killed right after the nth call of a kind
  // (with nth 0, the first for which when holds) leaves them: nothing it
  // does after that call has any effect.
  void kill_after(Call call, int nth = 1, const std::function<bool()>& when = {}) {
    machine.meddles = {{call, nth, [this, when] {
                          if (!machine.stop_after && (!when || when())) {
                            machine.stop_after = machine.log.size();
                          }
                        }}};
    reported_run(machine, utf8_of(run_as));
    machine.meddles.clear();
    machine.stop_after.reset();
  }
  std::string bytes() const { return read_file(file); }
  // Every name in the test's directories but the file's.
  std::vector<std::string> others() const {
    std::vector<std::string> all;
    for (const char* sub : {"dir", "tmp", "other"}) {
      for (const auto& entry : std::filesystem::directory_iterator(base / sub)) {
        if (entry.path() != file && entry.path() != link) all.push_back(utf8_of(entry.path()));
      }
    }
    std::sort(all.begin(), all.end());
    return all;
  }
  // The one saved text in directory sub, or nothing.
  std::string saved(const char* sub) const {
    for (const auto& entry : std::filesystem::directory_iterator(base / sub)) {
      if (entry.path().filename().string().starts_with("ostrel-saved-")) {
        return utf8_of(entry.path());
      }
    }
    return {};
  }
  // Another program opens the file now, for reading and writing.
  void open_other() { other.open(file, std::ios::in | std::ios::out | std::ios::binary); }
  // It writes text at the byte at, or at the end.
  void write_other(const std::string& text, std::streamoff at = -1) {
    other.seekp(std::max<std::streamoff>(at, 0), at < 0 ? std::ios::end : std::ios::beg);
    other << text << std::flush;
  }
  // Another run holds the file's lock until the run asks for it again,
  // ready to wait: the run's second lock call.
  void hold_lock() {
    ASSERT_TRUE(os_file_system().open_for_update(file, held, false).ok());
    bool locked = false;
    ASSERT_TRUE(held->lock(false, locked).ok() && locked);
    machine.meddles = {{Call::lock, 2, [this] { held.reset(); }}};
  }

  // Named for the test, and at random: other runs of the suite may share
  // the machine.
  const std::filesystem::path base =
      std::filesystem::path(std::filesystem::exists("/dev/shm")
                                ? "/dev/shm"
                                : std::filesystem::temp_directory_path()) /
      (std::string("ostrel-rewrite-") +
       ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
       std::to_string(std::random_device{}()));
  const std::filesystem::path file = base / "dir" / "t";
  const std::filesystem::path link = base / "other" / "link";  // another name, if a row makes one
  std::filesystem::path run_as = file;                         // the name the run is given
  FaultyFileSystem machine{os_file_system()};
  std::fstream other;             // another program's open file
  std::unique_ptr<File> held;     // another run's or program's, through the real layer
  std::function<void()> copying;  // what another program does as the copy-back is told
};

// What a row needs of the machine it runs on, and why it may not have it.
enum Need {
  nothing,
  leases,
  writes_past_the_lock,
  restart_empties,
  marks,
  mode_bits_and_symlinks,
  renames_over_open_files,
  directories_open
};

// Whether the machine has what need names; if not, why.
inline const char* lacking(Need need, Disk& disk) {
  switch (need) {
    case leases: {
      std::unique_ptr<File> probe;
      const bool granted = os_file_system().open_for_update(disk.file, probe, false).ok() &&
                           probe != nullptr && probe->keep_openers_waiting();
      return granted ? nullptr : "the OS grants no leases here";
    }
    case writes_past_the_lock:
      return kWindows ? "Windows refuses writes to a locked file" : nullptr;
    case mode_bits_and_symlinks:
      return kWindows ? "the Windows layer reads ACLs, not the mode bits made here" : nullptr;
    case renames_over_open_files:
      return kWindows ? "Windows renames nothing over a file that is open" : nullptr;
    case directories_open:
      return kWindows ? "Windows opens no directory as a file" : nullptr;
    case restart_empties: {
      FileState state;
      static_cast<void>(os_file_system().state_of(disk.base / "tmp", state));
      return state.survives_restart ? "no file system here is emptied by a restart" : nullptr;
    }
    case marks: {
      std::unique_ptr<File> probe;
      std::string mark;
      bool kept = false;
      static_cast<void>(os_file_system().open_for_update(disk.file, probe, false));
      return probe != nullptr && probe->read_mark(mark, kept).ok() && kept
                 ? nullptr
                 : "the file system here keeps no marks";
    }
    case nothing:
      break;
  }
  return nullptr;
}

}  // namespace ostrel
