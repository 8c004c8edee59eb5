#include "streams/win32_interrupts.h"

#include <windows.h>

namespace ostrel {

namespace {

// Guards holds and pending, so that an interrupt either comes before a hold
// begins (and ends the process before anything is emptied) or is seen by the
// release that ends the hold.
SRWLOCK lock = SRWLOCK_INIT;
int holds = 0;
bool pending = false;

// Ends the process at once, as the system's handler does on Ctrl-C but
// without running any library's shutdown code: another thread may have been
// stopped in the middle of a system call, and under Wine that shutdown can
// then hang. Nothing is lost: output is written unbuffered, and the system
// deletes the work file when it closes the process's handles.
[[noreturn]] void end_process() {
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  ExitProcess(STATUS_CONTROL_C_EXIT);  // only if the above could not
}

// Runs on the thread the system starts for each event. It never returns:
// that would hand the event to the system's default handler, which under
// Wine ends the process with exit code 0.
BOOL WINAPI on_console_event(DWORD /*event*/) {
  AcquireSRWLockExclusive(&lock);
  if (holds == 0) end_process();
  pending = true;
  ReleaseSRWLockExclusive(&lock);
  // release_interrupts() ends the process.
  for (;;) Sleep(INFINITE);
}

}  // namespace

void install_interrupt_handler() { SetConsoleCtrlHandler(on_console_event, TRUE); }

void hold_interrupts() {
  AcquireSRWLockExclusive(&lock);
  ++holds;
  ReleaseSRWLockExclusive(&lock);
}

bool interrupt_pending() {
  AcquireSRWLockShared(&lock);
  const bool arrived = pending;
  ReleaseSRWLockShared(&lock);
  return arrived;
}

void release_interrupts() {
  AcquireSRWLockExclusive(&lock);
  if (holds > 0) --holds;
  // Here, not in the handler's thread: the process must not end by this
  // thread returning from main, with another exit code, first.
  if (holds == 0 && pending) end_process();
  ReleaseSRWLockExclusive(&lock);
}

}  // namespace ostrel
