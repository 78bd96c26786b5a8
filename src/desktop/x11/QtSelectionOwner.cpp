#include "desktop/x11/QtSelectionOwner.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QThread>
#include <xcb/xcb.h>

namespace desktop {

QtSelectionOwner::QtSelectionOwner() {
    auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection()) return;
    const xcb_setup_t* setup = xcb_get_setup(x11->connection());
    resourceBase_ = setup->resource_id_base;
    resourceMask_ = setup->resource_id_mask;
}

bool QtSelectionOwner::isOwnWindow(unsigned long window) {
    return resourceMask_ != 0 && (window & ~static_cast<unsigned long>(resourceMask_)) == resourceBase_;
}

bool QtSelectionOwner::canAnswer(unsigned long ownerWindow) {
    // Off the GUI thread, Qt answers through X like any other owner.
    return isOwnWindow(ownerWindow) && qApp && QThread::currentThread() == qApp->thread();
}

std::optional<std::string> QtSelectionOwner::text(X11Pasteboard::Selection selection) {
    const auto mode = selection == X11Pasteboard::Selection::primary ? QClipboard::Selection : QClipboard::Clipboard;
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(mode);
    if (!data || !data->hasText()) return std::nullopt;
    return data->text().toStdString();
}

}  // namespace desktop
