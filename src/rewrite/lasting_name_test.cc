// The lasting name on the real file system, beside the file or in the
// private directory, and its failure, reached by failing chosen calls: wherever the new text is
// kept, it is complete while the file is written back, it is gone after a rewrite, and it is where
// the report says when the write-back fails.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
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

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

std::vector<fs::path> entries(const fs::path& dir) {
  std::vector<fs::path> all;
  for (const auto& entry : fs::directory_iterator(dir)) all.push_back(entry.path().filename());
  std::sort(all.begin(), all.end());
  return all;
}

std::vector<fs::path> lasting_names(const fs::path& dir) {
  std::vector<fs::path> found;
  for (const fs::path& name : entries(dir)) {
    if (name.string().starts_with("ostrel-saved-")) found.push_back(dir / name);
  }
  return found;
}

TEST(LastingName, FallsBackOnTheRealFileSystem) {
  const fs::path base = fresh_test_directory("ostrel-lasting-test");
  fs::create_directories(base / "dir");
  const fs::path file = base / "dir" / "f";
  const std::string original = kSample + std::string(300000, ' ') + "x\n";
  const std::string result = reference_rewrite(original);

  enum Where { in_private, beside, nowhere };
  const struct {
    const char* what;
    std::vector<Fault> faults;
    Where where;
    bool write_back_fails;
  } cases[] = {
      {"beside it", {}, beside, false},
      {"in the private directory", {{Call::create_work_file, 1, ENOSPC}}, in_private, false},
      {"nowhere", {{Call::name_work_file, 1, EPERM}}, nowhere, false},
      {"beside it, write-back fails", {{Call::copy, 1, ENOSPC}}, beside, true},
      {"in the private directory, write-back fails",
       {{Call::create_work_file, 1, ENOSPC}, {Call::copy, 1, ENOSPC}},
       in_private,
       true},
  };
  for (const auto& c : cases) {
    write_file(file, original);
    FaultyFileSystem faulty(os_file_system());
    faulty.faults = c.faults;
    faulty.private_dir = base / "tmp";
    const fs::path dirs[] = {base / "tmp", base / "dir"};
    fs::path lasting;
    RewriteEvents events;
    events.told = [&](Notice notice, const std::string&) {
      if (notice != Notice::copying_back) return;
      // The whole new text has its lasting name where expected, and only it.
      const std::vector<fs::path> found = lasting_names(dirs[c.where]);
      ASSERT_EQ(found.size(), 1U) << c.what;
      EXPECT_TRUE(lasting_names(dirs[1 - c.where]).empty()) << c.what;
      lasting = found[0];
      // On Windows the work file is shared with nobody.
      EXPECT_TRUE(kWindows || read_file(lasting) == result) << c.what;
    };
    const RewriteResult run = reported_run(faulty, utf8_of(file), events);
    if (c.where == nowhere) {
      EXPECT_EQ(run.outcome, RewriteOutcome::not_saved) << c.what;
      EXPECT_EQ(run.error.code, EPERM) << c.what;
      EXPECT_EQ(path_from_utf8(run.error.path).parent_path(), base / "dir") << c.what;
      EXPECT_TRUE(read_file(file) == original) << c.what;
    } else if (c.write_back_fails) {
      EXPECT_EQ(run.outcome, RewriteOutcome::failed_after_emptying) << c.what;
      EXPECT_EQ(path_from_utf8(run.saved_as).filename(), lasting.filename()) << c.what;
      EXPECT_TRUE(read_file(lasting) == result) << c.what;
      fs::remove(lasting);
    } else {
      EXPECT_EQ(run.outcome, RewriteOutcome::done) << c.what;
      EXPECT_TRUE(read_file(file) == result) << c.what;
    }
    EXPECT_TRUE(fs::is_empty(base / "tmp")) << c.what;
    EXPECT_EQ(entries(base / "dir"), std::vector<fs::path>{"f"}) << c.what;
  }
  fs::remove_all(base);
}

}  // namespace
}  // namespace ostrel
