// Ctrl-C, Ctrl-Break and the closing of the console, held back while the
// file is rewritten. The system delivers them on a thread of their own;
// whichever way one arrives, the process ends as a console program ends on
// Ctrl-C, with the exit code STATUS_CONTROL_C_EXIT.
#pragma once

namespace ostrel {

// Installs the handler; call once, at start. Outside a hold, an interrupt
// ends the process at once: at the next end_if_interrupted() or
// hold_interrupts(), or soon after if neither comes.
void install_interrupt_handler();

// From here until the matching release_interrupts(), an interrupt waits.
// Holds nest: only the outermost release ends the hold.
void hold_interrupts();

// Whether an interrupt arrived and waits to end the process.
bool interrupt_pending();

// Ends the process now if an interrupt arrived outside a hold. Called at
// points where ending is safe and comes soon after the interrupt.
void end_if_interrupted();

// Ends this hold. If it is the outermost one and an interrupt arrived
// meanwhile, the process ends now and this does not return.
void release_interrupts();

// Holds interrupts for as long as it lives.
class InterruptsHeld {
 public:
  InterruptsHeld() { hold_interrupts(); }
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;
  ~InterruptsHeld() { release_interrupts(); }
};

}  // namespace ostrel
