#include "streams/win32_interrupts.h"

#include <windows.h>

namespace ostrel {

namespace {

// Guards held and pending, so that an interrupt is either seen by the
// release, or comes after it and ends the process the system's way.
CRITICAL_SECTION guard;
HANDLE released = nullptr;  // set while nothing is held
bool held = false;
bool pending = false;

BOOL WINAPI on_console_event(DWORD /*event*/) {
  EnterCriticalSection(&guard);
  const bool wait = held;
  if (wait) pending = true;
  LeaveCriticalSection(&guard);
  // Not held: the default handler ends the process.
  if (!wait) return FALSE;
  // The releasing thread ends the process; this one only waits for it.
  WaitForSingleObject(released, INFINITE);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

void install_interrupt_handler() {
  InitializeCriticalSection(&guard);
  released = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  if (released != nullptr) SetConsoleCtrlHandler(on_console_event, TRUE);
}

void hold_interrupts() {
  if (released == nullptr) return;
  EnterCriticalSection(&guard);
  held = true;
  ResetEvent(released);
  LeaveCriticalSection(&guard);
}

bool interrupt_pending() {
  if (released == nullptr) return false;
  EnterCriticalSection(&guard);
  const bool result = pending;
  LeaveCriticalSection(&guard);
  return result;
}

void release_interrupts() {
  if (released == nullptr) return;
  EnterCriticalSection(&guard);
  held = false;
  const bool end = pending;
  LeaveCriticalSection(&guard);
  if (end) ExitProcess(STATUS_CONTROL_C_EXIT);
  SetEvent(released);
}

}  // namespace ostrel
