// ostrel.exe on a real console. This program runs on a console (under Wine,
// one that wine_console_test.sh gets by starting it on a pseudo-terminal) and
// starts ostrel.exe on that same console: it reads the screen back after a
// run, and sends Ctrl-C to the whole console at chosen moments of runs on a
// large file.
//
// What Wine cannot do, and so what is not tested here:
// - send Ctrl-Break: GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, ...) fails;
// - send the event for closing the console: Wine never sends it;
// - take TMP or TEMP from the Unix environment: they mean nothing inside
//   Wine, so the work directory is set here, through the Windows environment.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/test_files.h"
#include "streams/win32_text.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

std::wstring widen(std::string_view ascii) { return {ascii.begin(), ascii.end()}; }

double now_ms() {
  static const double ticks_per_ms = [] {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart) / 1000;
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / ticks_per_ms;
}

// The Ctrl-C sent to the console reaches this program too, by the same way
// as ostrel.exe; when it came here tells how slow that way is.
std::atomic<double> interrupt_arrived{-1};

BOOL WINAPI note_interrupt(DWORD /*event*/) {
  interrupt_arrived = now_ms();
  return TRUE;
}

// Large files, a MiB at a time: the C++ streams are slow at it under Wine,
// and so are single calls for hundreds of MiB.
constexpr DWORD kChunk = 1 << 20;

void write_all(const fs::path& path, std::string_view bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
  for (DWORD written = 0; !bytes.empty(); bytes.remove_prefix(written)) {
    const auto size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kChunk));
    if (!WriteFile(file, bytes.data(), size, &written, nullptr) || written == 0) {
      ADD_FAILURE() << "could not write " << path << ": " << GetLastError();
      break;
    }
  }
  CloseHandle(file);
}

// Whether the file holds exactly these bytes.
bool holds(const fs::path& path, std::string_view bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string buffer(kChunk, '\0');
  DWORD got = 0;
  bool same = true;
  while (same && ReadFile(file, buffer.data(), kChunk, &got, nullptr) && got > 0) {
    same = bytes.starts_with(std::string_view(buffer.data(), got));
    bytes.remove_prefix(std::min<std::size_t>(got, bytes.size()));
  }
  CloseHandle(file);
  return same && bytes.empty();
}

HANDLE open_screen() {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     &inherit, OPEN_EXISTING, 0, nullptr);
}

// Starts ostrel.exe in dir on this program's console, with its output to out.
PROCESS_INFORMATION start_ostrel(const fs::path& dir, const std::wstring& arg, HANDLE out) {
  std::wstring command = L"\"" + ostrel_exe().wstring() + L"\" \"" + arg + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = out;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      dir.wstring().c_str(), &startup, &process)) {
    ADD_FAILURE() << "could not start ostrel.exe: " << GetLastError();
  }
  return process;
}

// How long a run may take before it counts as hanging.
constexpr DWORD kPatience = 60000;

DWORD wait_for_exit(const PROCESS_INFORMATION& process) {
  DWORD status = 0;
  if (WaitForSingleObject(process.hProcess, kPatience) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "ostrel.exe hangs";
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return status;
}

class OnConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_test_directory("ostrel-console-test-" + std::to_string(GetCurrentProcessId()));
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

// The screen holds the transcript, the name in its own letters.
TEST_F(OnConsole, TranscriptOnScreenIsTheWideText) {
  const std::wstring name = L"\u6587\u4ef6 \u00e9t\u00e9 \u00c5ngstr\u00f6m.txt";
  write_file(dir_ / name, kSample);
  HANDLE screen = open_screen();
  ASSERT_NE(screen, INVALID_HANDLE_VALUE);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  ASSERT_TRUE(GetConsoleScreenBufferInfo(screen, &info));
  const int width = info.dwSize.X;
  DWORD cells = 0;
  FillConsoleOutputCharacterW(screen, L' ', width * info.dwSize.Y, COORD{0, 0}, &cells);
  SetConsoleCursorPosition(screen, COORD{0, 0});

  const DWORD status = wait_for_exit(start_ostrel(dir_, name, screen));
  EXPECT_EQ(status, 0U);
  EXPECT_EQ(read_file(dir_ / name), kResult);
  EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));

  const std::string_view processing = MSG_PROCESSING;
  const std::size_t placeholder = processing.find("%s");
  const std::wstring transcript = widen(MSG_BANNER) + widen(processing.substr(0, placeholder)) +
                                  name + widen(processing.substr(placeholder + 2)) +
                                  widen(MSG_COPYING_BACK) + widen(MSG_DONE);
  // Row by row, each line on rows of its own; blanks at the end of a row
  // are the screen's, not the text's.
  std::vector<std::wstring> expected;
  for (std::size_t at = 0, end = 0; at < transcript.size(); at = end + 1) {
    end = transcript.find(L'\n', at);
    const std::wstring line = transcript.substr(at, end - at);
    for (std::size_t part = 0; part == 0 || part < line.size(); part += width) {
      expected.push_back(line.substr(part, width));
    }
  }
  std::vector<std::wstring> shown;
  for (SHORT y = 0; y < static_cast<SHORT>(expected.size()) + 2; ++y) {
    std::wstring row(width, L'\0');
    DWORD read = 0;
    ASSERT_TRUE(ReadConsoleOutputCharacterW(screen, row.data(), width, COORD{0, y}, &read));
    row.resize(read);
    row.erase(row.find_last_not_of(L' ') + 1);
    shown.push_back(row);
  }
  // Nothing after the transcript.
  expected.resize(shown.size());
  const auto lines = [](const std::vector<std::wstring>& rows) {
    std::string text;
    for (const std::wstring& row : rows) text += to_utf8(row) + "|\n";
    return text;
  };
  EXPECT_TRUE(shown == expected) << "on the screen:\n"
                                 << lines(shown) << "expected:\n"
                                 << lines(expected);
  ASSERT_TRUE(GetConsoleScreenBufferInfo(screen, &info));
  EXPECT_EQ(info.dwCursorPosition.X, 0);
  EXPECT_EQ(info.dwCursorPosition.Y, static_cast<SHORT>(shown.size() - 2));
  CloseHandle(screen);
}

// One run with its transcript read through a pipe and a Ctrl-C sent to the
// console at a chosen moment; the times, from the start, at which the first
// output, the copying-back notice and "Done!" were read, and at which the
// Ctrl-C was sent and came back to this program.
struct Outcome {
  DWORD status = 0;
  std::string out;
  double shown = -1;
  double notice = -1;
  double done = -1;
  double sent = -1;
  double arrived = -1;
};

// Sends the Ctrl-C delay ms after the first output is read, or after the
// notice is; never when delay is negative.
//
// Not earlier: while Wine still starts a program, it drops a Ctrl-C, or ends
// the program with exit code 0 by its own default handler, or at times
// crashes (a failed malloc assertion in glibc). By its first output
// ostrel.exe has its own handler in place.
Outcome run_with_interrupt(const fs::path& dir, const std::wstring& name, double delay,
                           bool after_notice) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  Outcome run;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    ADD_FAILURE() << "no pipe: " << GetLastError();
    return run;
  }
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  interrupt_arrived = -1;
  const double start = now_ms();
  const PROCESS_INFORMATION process = start_ostrel(dir, name, write_end);
  CloseHandle(write_end);
  const std::string notice(MSG_COPYING_BACK);
  const std::string done = crlf(MSG_DONE);
  // Polled, so that the Ctrl-C goes out on time while output may come.
  for (bool ended = false; !ended;) {
    DWORD available = 0;
    if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) ||
        now_ms() - start > kPatience) {
      ended = true;  // ostrel.exe has ended and its output is all read, or it hangs
    } else if (available > 0) {
      std::string chunk(available, '\0');
      DWORD got = 0;
      ReadFile(read_end, chunk.data(), available, &got, nullptr);
      run.out.append(chunk, 0, got);
      const double at = now_ms() - start;
      if (run.shown < 0) run.shown = at;
      if (run.notice < 0 && run.out.find(notice) != std::string::npos) run.notice = at;
      if (run.done < 0 && run.out.find(done) != std::string::npos) run.done = at;
    }
    const double at = now_ms() - start;
    const double from = after_notice ? run.notice : run.shown;
    const double due = from < 0 ? -1 : from + delay;
    if (delay >= 0 && run.sent < 0 && due >= 0 && at >= due) {
      EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
      run.sent = at;
    }
    // Sleeping a millisecond at a time, and spinning only near the moment
    // the Ctrl-C is due, leaves the processor to ostrel.exe.
    if (!ended && available == 0 && (run.sent >= 0 || due < 0 || due - at > 2)) Sleep(1);
  }
  CloseHandle(read_end);
  run.status = wait_for_exit(process);
  // A Ctrl-C that came back before this one was sent belongs to another run.
  if (run.sent >= 0 && interrupt_arrived >= start + run.sent) {
    run.arrived = interrupt_arrived - start;
  }
  return run;
}

// A file of indented lines, and what ostrel.exe makes of it.
struct Text {
  std::string original;
  std::string complete;
};

Text indented_text(std::size_t lines) {
  Text text;
  for (std::size_t i = 0; i < lines; ++i) {
    const std::string line = "line " + std::to_string(i) + " of the text\t ";
    text.original += std::string(i % 9, ' ') + line + '\n';
    text.complete += line + "\r\n";
  }
  return text;
}

// A Ctrl-C at any moment of a run leaves the file as it was or complete,
// with no work file left, and a Ctrl-C that ostrel.exe received ends it with
// STATUS_CONTROL_C_EXIT; one that came during the copy-back, only once the
// file is complete and "Done!" shown.
TEST_F(OnConsole, CtrlCLeavesFileWholeAndEndsWithControlCExit) {
  ASSERT_TRUE(SetConsoleCtrlHandler(note_interrupt, TRUE));
  // Once the Ctrl-C has come back here, it reaches ostrel.exe within this:
  // if "Done!" came later still, the Ctrl-C surely came during the copy-back.
  // (Wine was seen to take 50 ms on a freshly made prefix.)
  constexpr double kLatitude = 100;
  const fs::path file = dir_ / L"large \u00e9t\u00e9.txt";
  const std::wstring name = file.filename().wstring();
  Text large;
  Outcome plain;
  // Large enough that the copy-back outlasts the Ctrl-Cs sent up to 30 ms
  // after the notice by some way.
  for (std::size_t lines = std::size_t{2} << 20; lines <= std::size_t{16} << 20; lines *= 2) {
    large = indented_text(lines);
    write_all(file, large.original);
    plain = run_with_interrupt(dir_, name, -1, false);
    ASSERT_EQ(plain.status, 0U) << plain.out;
    ASSERT_TRUE(holds(file, large.complete));
    if (plain.done - plain.notice >= 150) break;
  }
  std::printf("%zu MiB; the notice after %.0f ms, \"Done!\" after %.0f ms\n",
              large.original.size() >> 20, plain.notice, plain.done);
  const Text small = indented_text(std::size_t{1} << 16);

  // Many early moments on a small file, where the work file is made (cheap:
  // a run ends soon); moments spread over a whole run; then moments spread
  // from the notice to "Done!" (the file is read again to be compared before
  // it is emptied), over and over until enough came during the copy-back.
  struct Trial {
    double delay;
    bool after_notice;
    const Text* text;
  };
  std::vector<Trial> trials;
  trials.reserve(30 + 7 + 3 * 11);
  for (int n = 0; n < 30; ++n) trials.push_back({n % 5 * 1.0, false, &small});
  for (int sixth = 0; sixth <= 6; ++sixth) {
    trials.push_back({(plain.done - plain.shown) * sixth / 6, false, &large});
  }
  const std::size_t first_round = trials.size() + 11;
  for (int round = 0; round < 3; ++round) {
    for (int tenth = 0; tenth <= 10; ++tenth) {
      trials.push_back({(plain.done - plain.notice) * tenth / 10, true, &large});
    }
  }
  constexpr int kHeldEnough = 8;
  int held = 0;
  const std::string* on_disk = nullptr;
  for (std::size_t t = 0; t < trials.size() && (t < first_round || held < kHeldEnough); ++t) {
    const Trial& trial = trials[t];
    const Text& text = *trial.text;
    // After a Ctrl-C before the copy-back, the file is as it was already.
    if (on_disk != &text.original) write_all(file, text.original);
    const Outcome run = run_with_interrupt(dir_, name, trial.delay, trial.after_notice);
    const bool unchanged = holds(file, text.original);
    const bool whole = !unchanged && holds(file, text.complete);
    on_disk = unchanged ? &text.original : nullptr;
    // It surely reached ostrel.exe before "Done!", and so, the file being
    // complete, during the copy-back.
    const bool surely_held = whole && run.arrived >= 0 && run.done - run.arrived >= kLatitude;
    // Only a Ctrl-C that came during the copy-back, or in the moment between
    // the end of the hold and the end of the process, does this.
    held += whole && run.status == STATUS_CONTROL_C_EXIT ? 1 : 0;
    const char* const state = unchanged ? "unchanged" : whole ? "complete" : "DAMAGED";
    std::printf(
        "%s: Ctrl-C %2.0f ms after the %-6s sent %4.0f, came back %4.0f; notice %4.0f, "
        "done %4.0f: %-9s %08lx%s\n",
        &text == &small ? "small" : "large", trial.delay, trial.after_notice ? "notice" : "output",
        run.sent, run.arrived, run.notice, run.done, state, run.status,
        surely_held ? " surely held" : "");
    const std::string where =
        "Ctrl-C " + std::to_string(std::lround(trial.delay)) +
        (trial.after_notice ? " ms after the notice" : " ms after the first output");
    EXPECT_TRUE(unchanged || whole) << where << ": " << fs::file_size(file) << " bytes";
    for (const auto& left : fs::directory_iterator(dir_ / "tmp")) {
      ADD_FAILURE() << where << ": " << left.path() << " was left";
      fs::remove(left.path());
    }
    if (unchanged) {
      EXPECT_EQ(run.status, STATUS_CONTROL_C_EXIT) << where;
      EXPECT_EQ(run.done, -1) << where;
    }
    if (whole) {
      EXPECT_GE(run.done, 0) << where;
      EXPECT_TRUE(run.status == 0 || run.status == STATUS_CONTROL_C_EXIT) << where;
    }
    if (surely_held) {
      EXPECT_EQ(run.status, STATUS_CONTROL_C_EXIT) << where << "\n" << run.out;
    }
  }
  // Without Ctrl-Cs that came during the copy-back, this proved nothing
  // about holding them.
  EXPECT_GE(held, kHeldEnough) << "too few Ctrl-Cs came during the copy-back";
}

}  // namespace
}  // namespace ostrel

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Without a console there is nothing to test, and on one shared with other
  // programs the Ctrl-C would reach them too: tell CTest it was skipped.
  HANDLE screen = ostrel::open_screen();
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (screen == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(screen, &info)) {
    std::printf("skipped: no console (%lu)\n", GetLastError());
    return 77;
  }
  CloseHandle(screen);
  DWORD attached[2];
  if (GetConsoleProcessList(attached, 2) > 1) {
    std::printf("skipped: other programs share this console; start this on one of its own\n");
    return 77;
  }
  return RUN_ALL_TESTS();
}
