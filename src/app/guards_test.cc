// Another program at work on the file in each phase of a run, on the real
// kernel: the run never claims success over a file that is not whole, and
// whatever the other program wrote, or the complete new text, is kept.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/messages.h"
#include "app/test_process.h"
#include "rewrite/indent_removal.h"
#include "rewrite/reference_model.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

// An editor saving in place: it empties the file and writes its text.
void save_in_place(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "edited\n", 7), 7);
  ::close(fd);
}

// The path of the complete new text that a failure message names.
fs::path named_text(const std::string& out) {
  const std::string marker = "saved in \"";
  const std::size_t at = out.find(marker);
  if (at == std::string::npos) return {};
  const std::size_t from = at + marker.size();
  return out.substr(from, out.find('"', from) - from);
}

// The editor's text is whole: the run ended before it wrote, or saw it
// before the file was emptied; or the run stopped once the editor was let
// in, and said where the complete new text is.
void expect_editor_kept(const RunResult& ended, const std::string& after, const std::string& result,
                        const std::string& what) {
  const fs::path saved = named_text(ended.out);
  if (saved.empty()) {
    EXPECT_EQ(after, "edited\n") << what << ": " << ended.out;
    EXPECT_TRUE(ended.status == 0 || ended.out.ends_with("left it.\n")) << what << ended.out;
  } else {
    EXPECT_EQ(ended.status, 1) << what;
    EXPECT_TRUE(after.starts_with("edited\n")) << what;
    EXPECT_TRUE(read_file(saved) == result) << what << ": " << ended.out;
    fs::remove(saved);
  }
}

class Guards : public Executable {
 protected:
  void SetUp() override {
    Executable::SetUp();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to shorten " << kLeaseBreakTime;
    // A lease held by this process is broken by SIGIO, which must not end it.
    static_cast<void>(std::signal(SIGIO, SIG_IGN));
  }
};

// An editor that saves while the run reads the file, or while it writes it
// back and is stopped past the lease-break time: its text is kept whole,
// after the run's or instead of it, and the new text is where the run says.
TEST_F(Guards, AnEditorSavingInAnyPhaseLosesNothing) {
  const ShortLeaseBreak short_break;
  const fs::path file = dir_ / "f";
  const std::string original = indented(std::size_t{48} << 20);
  const std::string result = reference_rewrite(original);
  const struct {
    const char* what;
    std::function<void(Child&)> act;
  } cases[] = {
      {"while the file is read",
       [&](Child& run) {
         ASSERT_TRUE(run.stop_while_reading(file));
         ::kill(run.pid(), SIGCONT);
         save_in_place(file);
       }},
      {"while the run is stopped in the write-back",
       [&](Child& run) {
         ASSERT_TRUE(run.stop_while_writing_back(file, result.size()));
         save_in_place(file);  // let in after a second
         ::kill(run.pid(), SIGCONT);
       }},
  };
  for (const auto& c : cases) {
    write_file(file, original);
    Child run(exe_, {file.string()}, tmp_);
    c.act(run);
    const RunResult ended = run.finish();
    const std::string after = read_file(file);
    expect_editor_kept(ended, after, result, c.what);
  }
}

// A program that has the file mapped writes through the mapping while the
// run reads it: a page already written changes no time, so only the bytes
// read again can tell. The run ends with the file as that program left it,
// or, if the bytes it rewrote were read after the write (in the pass that
// makes the new text), with the new text of those bytes.
TEST_F(Guards, AWriteThroughAMappingIsSeen) {
  const fs::path file = dir_ / "f";
  const std::string original = indented(std::size_t{32} << 20);
  write_file(file, original);
  const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  auto* map = static_cast<char*>(::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  ASSERT_NE(map, MAP_FAILED);
  map[0] = 'X';  // the page is written, and the times stamped, before the run
  Child run(exe_, {file.string()}, tmp_);
  ASSERT_TRUE(run.stop_while_reading(file));
  map[1] = 'Y';
  ::kill(run.pid(), SIGCONT);
  const RunResult ended = run.finish();
  ::munmap(map, 4096);
  ::close(fd);
  EXPECT_TRUE(ended.status == 0 || ended.status == 1) << ended.out;
  const std::string written = "XY" + original.substr(2);
  EXPECT_EQ(read_file(file), ended.status == 0 ? reference_rewrite(written) : written) << ended.out;
}

// Finishing an earlier run's write-back is a write-back like any other: an
// editor that saves meanwhile is kept whole, and the earlier text with it.
TEST_F(Guards, AnEditorSavingWhileAnEarlierRunIsFinished) {
  const ShortLeaseBreak short_break;
  const fs::path file = dir_ / "f";
  const std::string original = indented(std::size_t{32} << 20);
  const std::string result = reference_rewrite(original);
  // Half the new text back: the next run takes a while to compare it. A
  // loaded machine may let that run finish before it is stopped: then
  // another is tried, on a file left half done again.
  fs::path saved;
  std::optional<Child> run;
  for (int attempt = 0;; ++attempt) {
    if (attempt == 5) GTEST_SKIP() << "a loaded machine let five runs pass the moment to stop them";
    saved = killed_in_write_back(file, original, result.size(), result.size() / 2);
    if (saved.empty()) GTEST_SKIP() << "a loaded machine let five runs finish their write-back";
    run.emplace(exe_, std::vector{file.string()}, tmp_);
    if (run->stop_while_reading(file)) break;
    run->finish();
  }
  save_in_place(file);  // let in after a second
  ::kill(run->pid(), SIGCONT);
  const RunResult ended = run->finish();
  EXPECT_EQ(ended.status, 1) << ended.out;
  // Once the earlier run's write-back is finished, its text may go.
  const bool finished = ended.out.find("Finished writing back") != std::string::npos;
  EXPECT_TRUE(finished || read_file(saved) == result) << ended.out;
  expect_editor_kept(ended, read_file(file), result, "finishing");
  fs::remove(saved);  // kept by the run unless the file held it
}

// Whatever holds the file, a lock or a lease of another program, the run
// says that it waits, and goes on once the file is let go.
TEST_F(Guards, SaysWhenAnotherProgramHoldsTheFile) {
  const fs::path file = dir_ / "f";
  for (const bool lease : {false, true}) {
    write_file(file, kSample);
    const int fd = ::open(file.c_str(), (lease ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    ASSERT_EQ(lease ? ::fcntl(fd, F_SETLEASE, F_RDLCK) : ::flock(fd, LOCK_EX), 0);
    Child run(exe_, {file.string()}, tmp_);
    EXPECT_TRUE(run.wait_for_output(std::string(MSG_WAITING))) << lease;
    ::close(fd);
    const RunResult ended = run.finish();
    EXPECT_EQ(ended.status, 0) << ended.out;
    EXPECT_EQ(read_file(file), kResult);
  }
}

}  // namespace
}  // namespace ostrel
