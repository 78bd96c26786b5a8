#include "desktop/x11/X11Pasteboard.h"

#include <mutex>

#include "desktop/x11/X11ClipboardFormats.h"
#include "desktop/x11/X11ClipboardOwner.h"
#include "desktop/x11/X11ClipboardReader.h"

namespace desktop {

// What this process wrote is answered from memory; anything else is read from its owner.
class X11Pasteboard::Impl {
public:
    Impl(const std::string& displayName, Selection selection)
        : owner_(displayName, selection,
                 [this](unsigned long window) {
                     const auto inProcess = inProcessOwner();
                     return inProcess && inProcess->isOwnWindow(window);
                 }),
          reader_(displayName, selection) {}

    void setInProcessOwner(std::shared_ptr<InProcessOwner> owner) {
        std::lock_guard lock(inProcessOwnerMutex_);
        inProcessOwner_ = std::move(owner);
    }

    std::optional<std::string> string() {
        if (!owner_.isAvailable()) return std::nullopt;
        if (auto own = owner_.ownedContents()) return textOf(*own);
        return reader_.text(inProcessOwner().get());
    }

    std::optional<PasteboardContents> contents(std::chrono::milliseconds budget) {
        if (!owner_.isAvailable()) return std::nullopt;
        if (auto own = owner_.ownedContents()) return own;
        return reader_.contents(budget);
    }

    X11ClipboardOwner& owner() { return owner_; }

private:
    std::shared_ptr<InProcessOwner> inProcessOwner() {
        std::lock_guard lock(inProcessOwnerMutex_);
        return inProcessOwner_;
    }

    // Before the owner, whose thread asks it about every requestor.
    std::mutex inProcessOwnerMutex_;
    std::shared_ptr<InProcessOwner> inProcessOwner_;
    X11ClipboardOwner owner_;
    X11ClipboardReader reader_;
};

X11Pasteboard::X11Pasteboard(const std::string& displayName, Selection selection)
    : impl_(std::make_unique<Impl>(displayName, selection)) {}

X11Pasteboard::~X11Pasteboard() = default;

bool X11Pasteboard::isAvailable() const { return impl_->owner().isAvailable(); }
void X11Pasteboard::setInProcessOwner(std::shared_ptr<InProcessOwner> owner) {
    impl_->setInProcessOwner(std::move(owner));
}
bool X11Pasteboard::handOverToClipboardManager() { return impl_->owner().handOverToClipboardManager(); }
int64_t X11Pasteboard::changeCount() { return impl_->owner().changeCount(); }
std::optional<std::string> X11Pasteboard::string() { return impl_->string(); }
std::optional<PasteboardContents> X11Pasteboard::contents(std::chrono::milliseconds budget) {
    return impl_->contents(budget);
}
bool X11Pasteboard::setString(const std::string& text) { return impl_->owner().setContents(plainTextContents(text)); }
bool X11Pasteboard::setContents(const PasteboardContents& contents) { return impl_->owner().setContents(contents); }
bool X11Pasteboard::clearContents() { return impl_->owner().clearContents(); }
int64_t X11Pasteboard::servedChangeCount() { return impl_->owner().servedChangeCount(); }
void X11Pasteboard::setServedHandler(std::function<void()> handler) {
    impl_->owner().setServedHandler(std::move(handler));
}

}  // namespace desktop
