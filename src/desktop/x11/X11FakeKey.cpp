#include "desktop/x11/X11FakeKey.h"

#include <cstring>

#include <X11/Xlibint.h>
#include <X11/extensions/xtestproto.h>

namespace desktop::x11fakekey {

int opcode(Display* display) {
    int major = 0, firstEvent = 0, firstError = 0;
    return XQueryExtension(display, "XTEST", &major, &firstEvent, &firstError) ? major : 0;
}

void post(Display* dpy, int xtestOpcode, unsigned keycode, bool press) {
    LockDisplay(dpy);
    static_assert(sizeof(xXTestFakeInputReq) == sz_xXTestFakeInputReq);
    xXTestFakeInputReq* req = nullptr;
    GetReq(XTestFakeInput, req);
    const CARD16 length = req->length;
    std::memset(req, 0, sizeof(*req));
    req->reqType = static_cast<CARD8>(xtestOpcode);
    req->xtReqType = X_XTestFakeInput;
    req->length = length;
    req->type = static_cast<BYTE>(press ? KeyPress : KeyRelease);
    req->detail = static_cast<BYTE>(keycode);
    req->time = CurrentTime;
    UnlockDisplay(dpy);
    SyncHandle();
}

}  // namespace desktop::x11fakekey
