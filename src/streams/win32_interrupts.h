// Ctrl-C, Ctrl-Break and the closing of the console, held back while the
// file is rewritten. The system delivers them on a thread of their own;
// whichever way one arrives, the process ends as a console program ends on
// Ctrl-C, with the exit code STATUS_CONTROL_C_EXIT.
#pragma once

#include "streams/file_system.h"

namespace ostrel {

// Installs the handler; call once, at start. Outside a hold, an interrupt
// ends the process at once: at the next end_if_interrupted() or hold, or
// soon after if neither comes.
void install_interrupt_handler();

// Ends the process now if an interrupt arrived outside a hold. Called at
// points where ending is safe and comes soon after the interrupt.
void end_if_interrupted();

// Holds interrupts for as long as it lives: meanwhile an interrupt waits.
// Holds nest; when the outermost one ends and an interrupt arrived
// meanwhile, the process ends there and then.
class InterruptsHeld final : public InterruptHold {
 public:
  InterruptsHeld();
  ~InterruptsHeld() override;
  bool pending() const override;
};

}  // namespace ostrel
