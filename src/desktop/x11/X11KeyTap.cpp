#include "desktop/x11/X11KeyTap.h"

#include <algorithm>
#include <optional>

#include "desktop/x11/X11Display.h"
#include "desktop/x11/X11KeyCodes.h"
#include "platform/Log.h"

// After X11Display.h, which brings in Xlib.
#include <X11/Xproto.h>
#include <X11/extensions/record.h>

namespace desktop {
namespace {

const platform::Log& logger() {
    static const platform::Log log = platform::appLog("KeyTap");
    return log;
}

}  // namespace

// The recording's callback, a plain function for Xlib: it runs on the run() thread.
struct X11KeyTap::Recording {
    static void intercept(XPointer closure, XRecordInterceptData* data) {
        auto* tap = reinterpret_cast<X11KeyTap*>(closure);
        std::optional<KeyDown> key;
        bool button = false;
        if (data->category == XRecordStartOfData) {
            tap->onStartOfData();
        } else if (data->category == XRecordFromServer && data->data && data->data_len > 0) {
            const auto* event = reinterpret_cast<const xEvent*>(data->data);
            const int type = event->u.u.type & 0x7f;
            if (type == KeyPress) {
                const uint32_t keycode = event->u.u.detail;
                key = KeyDown{x11keycodes::macKeyCode(keycode), keycode, event->u.keyButtonPointer.state, {}};
                key->xTime = event->u.keyButtonPointer.time;
                if (const auto it = tap->remapped_.find(keycode); it != tap->remapped_.end())
                    key->xKeysyms = it->second;
            }
            button = type == ButtonPress;
        } else if (data->category == XRecordFromClient && data->data) {
            remember(*tap, data->data, static_cast<size_t>(data->data_len) * 4);
        }
        XRecordFreeData(data);
        if (key && tap->onKeyDown_) tap->onKeyDown_(*key);
        if (button && tap->onButtonDown_) tap->onButtonDown_();
    }

    // A recorded ChangeKeyboardMapping request: keyCodes × keySymsPerKeyCode keysyms follow it.
    static void remember(X11KeyTap& tap, const unsigned char* bytes, size_t size) {
        if (size < sz_xChangeKeyboardMappingReq) return;
        const auto* request = reinterpret_cast<const xChangeKeyboardMappingReq*>(bytes);
        if (request->reqType != X_ChangeKeyboardMapping || request->keySymsPerKeyCode == 0) return;
        const size_t perKeycode = request->keySymsPerKeyCode;
        const size_t count = request->keyCodes;
        if (size < sz_xChangeKeyboardMappingReq + count * perKeycode * 4) return;
        const auto* keysyms = reinterpret_cast<const CARD32*>(bytes + sz_xChangeKeyboardMappingReq);
        for (size_t i = 0; i < count; ++i) {
            const uint32_t keycode = request->firstKeyCode + static_cast<uint32_t>(i);
            std::vector<uint32_t> symbols(keysyms + i * perKeycode, keysyms + (i + 1) * perKeycode);
            const bool unbound = std::all_of(symbols.begin(), symbols.end(), [](uint32_t s) { return s == NoSymbol; });
            // An unbound keycode is left to the layout's own lookup again.
            if (unbound)
                tap.remapped_.erase(keycode);
            else
                tap.remapped_[keycode] = std::move(symbols);
        }
    }
};

X11KeyTap::X11KeyTap(std::string displayName) : displayName_(std::move(displayName)) {}

X11KeyTap::~X11KeyTap() {
    // run() has ended: the control connection is this thread's alone.
    if (context_ && control_ && !control_->lost()) {
        XRecordFreeContext(control_->get(), context_);
        XSync(control_->get(), False);
    }
}

bool X11KeyTap::create(KeyHandler onKeyDown, ButtonHandler onButtonDown) {
    if (control_) return false;  // one object serves one run
    auto control = X11Display::open(displayName_);
    if (!control) {
        logger().error("Cannot open the X display for the keystroke tap");
        return false;
    }
    int major = 0, minor = 0;
    if (!control->hasExtension("RECORD") || !XRecordQueryVersion(control->get(), &major, &minor)) {
        logger().error("The X server has no RECORD extension");
        return false;
    }
    auto data = X11Display::open(displayName_);
    if (!data) {
        logger().error("Cannot open the X display for the keystroke tap");
        return false;
    }
    XRecordRange* range = XRecordAllocRange();
    if (!range) return false;
    range->device_events.first = KeyPress;
    range->device_events.last = ButtonPress;
    range->core_requests.first = X_ChangeKeyboardMapping;
    range->core_requests.last = X_ChangeKeyboardMapping;
    XRecordClientSpec clients = XRecordAllClients;
    const uint64_t errorsBefore = control->errorCount();
    const XRecordContext context = XRecordCreateContext(control->get(), 0, &clients, 1, &range, 1);
    XFree(range);
    if (!context || !control->syncWithoutErrorSince(errorsBefore)) {
        logger().error("Cannot create the keystroke recording context");
        return false;
    }
    logger().debug("Recording keys with context 0x%lx", static_cast<unsigned long>(context));
    onKeyDown_ = std::move(onKeyDown);
    onButtonDown_ = std::move(onButtonDown);
    context_ = context;
    control_ = std::move(control);
    data_ = std::move(data);
    return true;
}

KeyTap::RunResult X11KeyTap::run() {
    {
        std::lock_guard lock(mutex_);
        if (stopRequested_) return RunResult::stopped;
        if (!context_) return RunResult::failed;
        inRecording_ = true;
    }
    X11Display::installErrorHandlers();
    // Blocks until the context is disabled, freed, or the connection breaks.
    XRecordEnableContext(data_->get(), context_, &Recording::intercept, reinterpret_cast<XPointer>(this));
    std::lock_guard lock(mutex_);
    inRecording_ = false;
    recording_ = false;
    startedOrEnded_.notify_all();
    if (stopRequested_) return RunResult::stopped;
    logger().error("Keystroke recording ended unexpectedly%s", data_->lost() ? " (the X connection was lost)" : "");
    return RunResult::failed;
}

void X11KeyTap::stop() {
    {
        std::unique_lock lock(mutex_);
        stopRequested_ = true;
        // A context can be disabled only once the server is recording it, which follows the
        // enabling at once (or the call fails, ending run()).
        startedOrEnded_.wait(lock, [this] { return !inRecording_ || recording_; });
        if (!recording_ || disableSent_) return;
        disableSent_ = true;
    }
    disable();
}

void X11KeyTap::onStartOfData() {
    // Tells a recording the server never started apart from keys that never came.
    logger().debug("Recording started");
    std::lock_guard lock(mutex_);
    recording_ = true;
    startedOrEnded_.notify_all();
}

void X11KeyTap::disable() {
    if (!control_ || control_->lost()) return;
    XRecordDisableContext(control_->get(), context_);
    XSync(control_->get(), False);
}

}  // namespace desktop
