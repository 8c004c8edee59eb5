#include "streams/win32_interrupts.h"

#include <windows.h>

#include <algorithm>

namespace ostrel {

namespace {

// Guards holds and interrupted, so that an interrupt either comes before a
// hold begins (and the process ends before anything is emptied) or is seen
// by the release that ends the hold.
SRWLOCK lock = SRWLOCK_INIT;
int holds = 0;
bool interrupted = false;

// How long the handler waits for the main thread to end the process at a
// safe point before it does so itself.
constexpr DWORD kGrace = 500;

// Ends the process at once, as the system's handler does on Ctrl-C but
// without running any library's shutdown code. Nothing is lost: output is
// written unbuffered, and the system deletes the work file when it closes
// the process's handles.
[[noreturn]] void end_process() {
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  ExitProcess(STATUS_CONTROL_C_EXIT);  // only if the above could not
}

// Adds change to the number of holds (never below none). Where no hold is
// left before or after the change and an interrupt waits, the process ends:
// a hold about to begin, the outermost release and a safe point outside any
// hold all end it here.
void count_holds(int change) {
  AcquireSRWLockExclusive(&lock);
  if (holds == 0 && interrupted) end_process();
  holds = std::max(holds + change, 0);
  if (holds == 0 && interrupted) end_process();
  ReleaseSRWLockExclusive(&lock);
}

// Runs on the thread the system starts for each event. It never returns:
// that would hand the event to the system's default handler, which under
// Wine ends the process with exit code 0.
//
// The main thread ends the process: at the release of a hold, or, outside
// one, at its next file read or write or hold. Wine, asked to end the
// process from this thread while the main one is busy inside the system,
// can hang: the main thread is stopped holding a lock that ending needs.
// Only if the main thread comes to none of those soon (it may wait on a slow
// device) does this thread end the process itself.
BOOL WINAPI on_console_event(DWORD /*event*/) {
  AcquireSRWLockExclusive(&lock);
  interrupted = true;
  const bool held = holds > 0;
  ReleaseSRWLockExclusive(&lock);
  if (held) {
    for (;;) Sleep(INFINITE);
  }
  Sleep(kGrace);
  end_process();
}

}  // namespace

void install_interrupt_handler() { SetConsoleCtrlHandler(on_console_event, TRUE); }

void end_if_interrupted() { count_holds(0); }

InterruptsHeld::InterruptsHeld() { count_holds(1); }

InterruptsHeld::~InterruptsHeld() { count_holds(-1); }

bool InterruptsHeld::pending() const {
  AcquireSRWLockShared(&lock);
  const bool arrived = interrupted;
  ReleaseSRWLockShared(&lock);
  return arrived;
}

}  // namespace ostrel
