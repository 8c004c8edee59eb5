// Holding Ctrl-C, Ctrl-Break and the closing of the console on Windows.
// The system delivers each in a thread of its own; while held, that thread
// waits, and on release the process ends as a console program ends on
// Ctrl-C, with STATUS_CONTROL_C_EXIT, from the releasing thread itself.
#pragma once

namespace ostrel {

// Installs the handler; once, at start.
void install_interrupt_handler();
void hold_interrupts();
// Whether an interrupt came while held.
bool interrupt_pending();
// Ends the process now if an interrupt came while held; otherwise lets the
// next one take effect at once.
void release_interrupts();

}  // namespace ostrel
