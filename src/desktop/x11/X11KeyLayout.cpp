#include "desktop/x11/X11KeyLayout.h"

#include "platform/Utf8.h"

// Qt first: Xlib's macros would break its headers.
#include <QString>

#include "desktop/x11/X11Display.h"
#include "desktop/x11/X11KeyCodes.h"

#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

namespace desktop {
namespace {

// The characters a Mac reports for keys that type no text of their own.
char32_t functionKeyCharacter(KeySym keysym) {
    switch (keysym) {
    case XK_Up:
    case XK_KP_Up: return 0xF700;
    case XK_Down:
    case XK_KP_Down: return 0xF701;
    case XK_Left:
    case XK_KP_Left: return 0xF702;
    case XK_Right:
    case XK_KP_Right: return 0xF703;
    case XK_Insert:
    case XK_KP_Insert: return 0xF727;
    case XK_Home:
    case XK_KP_Home: return 0xF729;
    case XK_Begin:
    case XK_KP_Begin: return 0xF72A;
    case XK_End:
    case XK_KP_End: return 0xF72B;
    case XK_Prior:
    case XK_KP_Prior: return 0xF72C;
    case XK_Next:
    case XK_KP_Next: return 0xF72D;
    case XK_Print: return 0xF72E;
    case XK_Scroll_Lock: return 0xF72F;
    case XK_Pause: return 0xF730;
    case XK_Menu: return 0xF735;
    case XK_Help: return 0xF746;
    default: break;
    }
    if (keysym >= XK_F1 && keysym <= XK_F35) return static_cast<char32_t>(0xF704 + (keysym - XK_F1));
    return 0;
}

std::string keysymText(KeySym keysym) {
    char buffer[8];
    if (keysym == NoSymbol || xkb_keysym_to_utf8(static_cast<xkb_keysym_t>(keysym), buffer, sizeof buffer) <= 0)
        return {};
    return buffer;
}

// The core protocol's choice among a keycode's first two keysyms: Shift selects the second,
// Caps Lock does so for letters, and a lone letter stands for both of its cases.
KeySym recordedKeysym(const std::vector<uint32_t>& keysyms, unsigned int state) {
    KeySym plain = keysyms[0];
    KeySym shifted = keysyms.size() > 1 ? keysyms[1] : NoSymbol;
    KeySym lower = plain, upper = plain;
    XConvertCase(plain, &lower, &upper);
    if (shifted == NoSymbol) {
        plain = lower;
        shifted = upper;
    }
    bool useShifted = (state & ShiftMask) != 0;
    if ((state & LockMask) && lower != upper && shifted == upper) useShifted = !useShifted;
    return useShifted && shifted != NoSymbol ? shifted : plain;
}

bool printable(const std::string& text) {
    for (const unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return false;
    return !text.empty();
}

}  // namespace

X11KeyLayout::X11KeyLayout(std::string displayName) : displayName_(std::move(displayName)) {
    std::lock_guard lock(mutex_);
    ensureConnection();
}

X11KeyLayout::~X11KeyLayout() = default;

bool X11KeyLayout::ensureConnection() {
    if (display_ && !display_->lost()) return true;
    display_ = X11Display::open(displayName_);
    if (display_) display_->startFollowingKeymap();
    return display_ != nullptr;
}

unsigned long X11KeyLayout::lookupKeysym(unsigned int xKeycode, unsigned int state) {
    std::lock_guard lock(mutex_);
    if (!ensureConnection()) return NoSymbol;
    // Without this a keycode remapped since the last lookup would still give its old keysym.
    display_->followKeymapChanges(true);
    if (display_->lost()) return NoSymbol;

    XKeyEvent event{};
    event.type = KeyPress;
    event.display = display_->get();
    event.window = event.root = display_->root();
    event.keycode = xKeycode;
    event.state = state;
    event.same_screen = True;
    char latin1[32];
    KeySym keysym = NoSymbol;
    // The bytes are Latin-1 (and control codes under Control); only the keysym is used.
    XLookupString(&event, latin1, sizeof latin1, &keysym, nullptr);
    return keysym;
}

std::string X11KeyLayout::text(const KeyDown& key) {
    const KeySym keysym =
        key.xKeysyms.empty() ? lookupKeysym(key.xKeycode, key.xState) : recordedKeysym(key.xKeysyms, key.xState);
    if (keysym == NoSymbol) return {};
    if (std::string text = keysymText(keysym); !text.empty()) return text;
    if (const char32_t c = functionKeyCharacter(keysym)) {
        std::string text;
        platform::utf8::append(text, c);
        return text;
    }
    return {};
}

std::string X11KeyLayout::keyName(int keyCode) {
    const uint32_t xKeycode = x11keycodes::xKeycode(keyCode);
    if (xKeycode == 0) return {};
    const std::string text = keysymText(lookupKeysym(xKeycode, 0));
    if (!printable(text)) return {};
    return QString::fromStdString(text).toUpper().toStdString();
}

}  // namespace desktop
