// Ctrl-C, Ctrl-Break and the closing of the console, held back while the
// file is rewritten. The system delivers them on a thread of their own;
// whichever way one arrives, the process ends as a console program ends on
// Ctrl-C, with the exit code STATUS_CONTROL_C_EXIT.
#pragma once

namespace ostrel {

// Installs the handler; call once, at start. Until a hold, an interrupt ends
// the process at once.
void install_interrupt_handler();

// From here until release_interrupts(), an interrupt waits. Holding twice is
// holding once.
void hold_interrupts();

// Whether an interrupt arrived during the current hold.
bool interrupt_pending();

// Ends the hold. If an interrupt arrived meanwhile, the process ends now and
// this does not return.
void release_interrupts();

}  // namespace ostrel
