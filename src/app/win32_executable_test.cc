// The built ostrel.exe on real files, as a Windows user meets it:
// transcripts with CR LF line ends, exit statuses, the bytes on disk, names
// in any language, and every way a name can fail to be a rewritable file.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/test_files.h"
#include "rewrite/reference_model.h"
#include "streams/error.h"
#include "streams/win32_text.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

struct RunResult {
  DWORD status = 0;
  std::string out;
};

// A started run of ostrel.exe, its standard output and error a pipe.
class Started {
 public:
  explicit Started(const std::vector<std::wstring>& args) {
    std::wstring command = L"\"" + ostrel_exe().wstring() + L"\"";
    for (const std::wstring& arg : args) command += L" \"" + arg + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end_, &write_end, &inherit, 0)) return;
    SetHandleInformation(read_end_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process_)) {
      ADD_FAILURE() << "could not start ostrel.exe: " << GetLastError();
    }
    CloseHandle(write_end);
  }
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;
  ~Started() {
    if (read_end_ != nullptr) CloseHandle(read_end_);
    if (process_.hProcess != nullptr) {
      TerminateProcess(process_.hProcess, 1);
      WaitForSingleObject(process_.hProcess, INFINITE);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
  }

  // Reads the output until it holds text or ends.
  bool wait_for_output(const std::string& text) {
    while (out_.find(text) == std::string::npos) {
      if (!read_some()) return false;
    }
    return true;
  }
  // Ends the process at once, as the system does to a process killed.
  void terminate() const { TerminateProcess(process_.hProcess, 1); }
  RunResult finish() {
    while (read_some()) {
    }
    WaitForSingleObject(process_.hProcess, INFINITE);
    RunResult run;
    GetExitCodeProcess(process_.hProcess, &run.status);
    run.out = out_;
    return run;
  }

 private:
  bool read_some() {
    char buffer[4096];
    DWORD n = 0;
    if (!ReadFile(read_end_, buffer, sizeof buffer, &n, nullptr) || n == 0) return false;
    out_.append(buffer, n);
    return true;
  }

  HANDLE read_end_ = nullptr;
  PROCESS_INFORMATION process_{};
  std::string out_;
};

RunResult run_ostrel(const std::vector<std::wstring>& args) { return Started(args).finish(); }

class WindowsExecutable : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_test_directory("ostrel-test-" + std::to_string(GetCurrentProcessId()));
  }
  void TearDown() override {
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
      SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    fs::remove_all(dir_);
  }
  std::string processing(const fs::path& file) const {
    return crlf(std::string(MSG_BANNER) + "Processing \"" + to_utf8(file.wstring()) + "\" ...\n");
  }
  fs::path dir_;
};

TEST_F(WindowsExecutable, RewritesFilesWithNamesInAnyLanguage) {
  const std::wstring names[] = {L"notes.txt", L"\u6587\u4ef6 \u00e9t\u00e9.txt"};
  for (const std::wstring& name : names) {
    const fs::path file = dir_ / name;
    write_file(file, kSample);
    const RunResult run = run_ostrel({file.wstring()});
    EXPECT_EQ(run.status, 0U);
    EXPECT_EQ(run.out, processing(file) + crlf("Temporary file generated. Copying back over "
                                               "original...\nDone!\n"));
    EXPECT_EQ(read_file(file), kResult);
  }
}

// A file that needs no change keeps its bytes and its last-write time.
TEST_F(WindowsExecutable, LeavesAFileThatNeedsNoChangeAsItIs) {
  const fs::path file = dir_ / "f";
  for (const std::string& text : {kResult, kResult + "\n"}) {
    write_file(file, text);
    WIN32_FILE_ATTRIBUTE_DATA before{};
    ASSERT_TRUE(GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &before));
    Sleep(50);
    EXPECT_EQ(run_ostrel({file.wstring()}).status, 0U);
    WIN32_FILE_ATTRIBUTE_DATA after{};
    ASSERT_TRUE(GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &after));
    EXPECT_EQ(CompareFileTime(&before.ftLastWriteTime, &after.ftLastWriteTime) == 0,
              text == kResult);
    EXPECT_EQ(read_file(file), text == kResult ? kResult : kResult + "\r\n");
  }
}

TEST_F(WindowsExecutable, NoNameShowsUsage) {
  const RunResult run = run_ostrel({});
  EXPECT_EQ(run.status, 2U);
  EXPECT_EQ(run.out,
            crlf(std::string(MSG_BANNER) + std::string(MSG_USAGE) + std::string(MSG_EXPLAIN)));
}

TEST_F(WindowsExecutable, RefusesWhatItCannotRewrite) {
  write_file(dir_ / "read-only", kSample);
  SetFileAttributesW((dir_ / "read-only").c_str(), FILE_ATTRIBUTE_READONLY);
  write_file(dir_ / "held", kSample);
  HANDLE held = CreateFileW((dir_ / "held").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  fs::create_directory(dir_ / "directory");
  const std::string not_regular = "Not a regular file (a FIFO, a device or a socket)";
  const std::pair<fs::path, std::string> cases[] = {
      {dir_ / "missing", os_reason(ERROR_FILE_NOT_FOUND)},
      {dir_ / "directory", "Is a directory"},
      {fs::path(), "The name is empty"},
      {fs::path("NUL"), not_regular},
      {dir_ / "read-only", os_reason(ERROR_ACCESS_DENIED)},
      {dir_ / "held", os_reason(ERROR_SHARING_VIOLATION)}};
  for (const auto& [name, why] : cases) {
    const RunResult run = run_ostrel({name.wstring()});
    EXPECT_EQ(run.status, 1U) << name;
    // Standard error goes into the same pipe, after the transcript.
    EXPECT_EQ(run.out, processing(name) + crlf("Could not open file\nostrel: " +
                                               to_utf8(name.wstring()) + ": " + why + "\n"))
        << name;
  }
  CloseHandle(held);
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
  EXPECT_EQ(read_file(dir_ / "read-only"), kSample);
  EXPECT_EQ(read_file(dir_ / "held"), kSample);
}

std::string indented(std::size_t bytes) {
  std::string text;
  for (int i = 0; text.size() < bytes; ++i) {
    text += std::string(i % 7, ' ') + "line " + std::to_string(i) + "\n";
  }
  return text;
}

// A run on a file that another run holds locked waits, says so, and
// rewrites the file once the lock is released.
TEST_F(WindowsExecutable, WaitsForTheRunThatHoldsTheFile) {
  const fs::path file = dir_ / "f";
  write_file(file, kSample);
  HANDLE other =
      CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  OVERLAPPED whole{};
  ASSERT_TRUE(LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole));
  Started run({file.wstring()});
  EXPECT_TRUE(run.wait_for_output("waiting for it to finish"));
  Sleep(200);
  UnlockFileEx(other, 0, MAXDWORD, MAXDWORD, &whole);
  CloseHandle(other);
  const RunResult result = run.finish();
  EXPECT_EQ(result.status, 0U) << result.out;
  EXPECT_EQ(read_file(file), kResult);
}

// TerminateProcess, as a kill that cannot be caught, at moments spread over
// a run and inside the write-back: the next run finds the saved text and
// finishes, and nothing is left in TMP.
void finishes_what_termination_interrupted(const fs::path& file) {
  const std::string original = indented(32 << 20);
  const std::string result = reference_rewrite(original);
  // How long a whole run takes from the notice to its end: the file is read
  // again, to be compared, and then written back.
  write_file(file, original);
  ULONGLONG span = 0;
  {
    Started run({file.wstring()});
    run.wait_for_output("Copying back over original...");
    const ULONGLONG notice = GetTickCount64();
    run.finish();
    span = GetTickCount64() - notice;
  }
  int finished = 0;
  // Moments spread over a run, then over the time from the notice to the
  // end, again until one came inside the write-back.
  for (int moment = 0; moment < 25 && (moment < 15 || finished == 0); ++moment) {
    write_file(file, original);
    {
      Started run({file.wstring()});
      if (moment < 5) {
        Sleep(static_cast<DWORD>(moment * 60));
      } else {
        run.wait_for_output("Copying back over original...");
        Sleep(static_cast<DWORD>(span * ((moment - 5) % 10) / 10));
      }
      run.terminate();
      run.finish();
    }
    const RunResult next = run_ostrel({file.wstring()});
    if (next.status == 1U && read_file(file).empty()) {
      // Killed just as the file was emptied: where files carry no mark
      // (Wine keeps no named streams), an empty file is not filled from a
      // text found by its name, which is named instead, whole.
      const std::string marker = "complete new\r\ntext in \"";
      const std::size_t at = next.out.find(marker);
      ASSERT_NE(at, std::string::npos) << next.out;
      const std::size_t from = at + marker.size();
      const fs::path saved = path_from_utf8(next.out.substr(from, next.out.find('"', from) - from));
      EXPECT_TRUE(read_file(saved) == result) << moment;
      DeleteFileW(saved.c_str());
      continue;
    }
    EXPECT_EQ(next.status, 0U) << moment << next.out;
    EXPECT_TRUE(read_file(file) == result) << moment;
    if (next.out.find("Finished writing back") != std::string::npos) ++finished;
  }
  // At least one termination came inside the write-back, or the test did
  // not reach what it is for.
  EXPECT_GT(finished, 0);
}

TEST_F(WindowsExecutable, NextRunFinishesWhatTerminationInterrupted) {
  finishes_what_termination_interrupted(dir_ / "f");
}

// Also in a folder whose path is longer than MAX_PATH, where MinGW's
// std::filesystem lists the current folder instead.
TEST_F(WindowsExecutable, NextRunFinishesWhatTerminationInterruptedInALongPath) {
  fs::path deep = dir_;
  for (const char level : {'1', '2', '3', '4', '5', '6'}) {
    deep /= "folder-" + std::string(40, level);
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
  }
  ASSERT_GT(deep.wstring().size(), 260U);
  finishes_what_termination_interrupted(deep / "f");
  // std::filesystem can remove no part of so long a path.
  DeleteFileW((deep / "f").c_str());
  for (; deep != dir_; deep = deep.parent_path()) RemoveDirectoryW(deep.c_str());
}

}  // namespace
}  // namespace ostrel
