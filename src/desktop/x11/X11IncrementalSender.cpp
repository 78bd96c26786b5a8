#include "desktop/x11/X11IncrementalSender.h"

#include <algorithm>

namespace desktop {
namespace {

// How long a transfer may stall before it is dropped (the requestor went away), and how often
// that is looked for while any transfer runs.
constexpr std::chrono::milliseconds kTransferStallTimeout{5000};
constexpr std::chrono::milliseconds kTransferCheckInterval{500};

}  // namespace

X11IncrementalSender::X11IncrementalSender(Display* display, Atom incr) : display_(display), incr_(incr) {
    const long maxRequest = std::max(XExtendedMaxRequestSize(display), XMaxRequestSize(display));
    chunkSize_ = size_t(std::clamp(maxRequest * 4 - 1024, 4096L, 256L * 1024));
}

void X11IncrementalSender::send(Window requestor, Atom property, Atom type, std::string data) {
    if (data.size() <= chunkSize_) {
        XChangeProperty(display_, requestor, property, type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(data.data()), int(data.size()));
        return;
    }
    XSelectInput(display_, requestor, PropertyChangeMask);
    const long size = long(data.size());
    XChangeProperty(display_, requestor, property, incr_, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&size), 1);
    transfers_.push_back(Transfer{requestor, property, type, std::move(data), 0, Clock::now()});
}

void X11IncrementalSender::propertyDeleted(Window window, Atom property) {
    auto it = std::find_if(transfers_.begin(), transfers_.end(),
                           [&](const Transfer& t) { return t.requestor == window && t.property == property; });
    if (it == transfers_.end()) return;
    const size_t length = std::min(chunkSize_, it->data.size() - it->offset);
    XChangeProperty(display_, window, property, it->type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(it->data.data() + it->offset), int(length));
    it->offset += length;
    it->lastActivity = Clock::now();
    if (length == 0) finish(it);
}

std::optional<X11IncrementalSender::Clock::time_point> X11IncrementalSender::expire() {
    const auto now = Clock::now();
    for (auto it = transfers_.begin(); it != transfers_.end();) {
        if (now - it->lastActivity > kTransferStallTimeout) {
            finish(it);
            it = transfers_.begin();
        } else {
            ++it;
        }
    }
    if (transfers_.empty()) return std::nullopt;
    return Clock::now() + kTransferCheckInterval;
}

void X11IncrementalSender::finish(std::vector<Transfer>::iterator it) {
    const Window window = it->requestor;
    transfers_.erase(it);
    const bool more =
        std::any_of(transfers_.begin(), transfers_.end(), [&](const Transfer& t) { return t.requestor == window; });
    if (!more) XSelectInput(display_, window, NoEventMask);
}

}  // namespace desktop
