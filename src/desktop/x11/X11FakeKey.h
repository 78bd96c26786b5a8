#pragma once

typedef struct _XDisplay Display;

namespace desktop::x11fakekey {

// XTest's major opcode on this display, 0 when the server has no XTest.
int opcode(Display* display);

// Queues an XTest key press or release, as XTestFakeKeyEvent does, without the extension
// library's look-up of the display, which takes Xlib's process-wide lock. Under a server grab
// that lock may be held by another thread waiting for the server (opening a display): taking it
// then would never return.
void post(Display* display, int xtestOpcode, unsigned keycode, bool press);

}  // namespace desktop::x11fakekey
