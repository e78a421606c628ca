// The one place the program waits without waiting for a port: the
// protocol's pauses (the monitor settling after an open, a reset taking
// hold). In the browser a wait must hand the thread back to the page, or
// the page freezes and the port starves; elsewhere it is a plain sleep.
#pragma once

// Waits `millisecs` milliseconds (nothing for 0 or less); under
// WebAssembly it yields to the browser meanwhile (Asyncify).
void pauseMs(int millisecs);
