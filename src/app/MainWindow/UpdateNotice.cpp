#include "MainWindow/UpdateNotice.h"

#include "Shell/Updates/UpdateChecker.h"

namespace sablix {

UpdateNotice::UpdateNotice(UpdateChecker& checker, std::function<void()> requestUpdate, QObject* parent)
    : QObject(parent), checker_(checker), requestUpdate_(std::move(requestUpdate)) {
    connect(&checker_, &UpdateChecker::availableVersionChanged, this, &UpdateNotice::changed);
    connect(&checker_, &UpdateChecker::hasUpdateChanged, this, &UpdateNotice::changed);
    connect(&checker_, &UpdateChecker::dismissedChanged, this, &UpdateNotice::changed);
}

bool UpdateNotice::shown() const { return checker_.hasUpdate() && checker_.availableVersion().has_value(); }

QString UpdateNotice::text() const {
    if (!message_.isEmpty()) return message_;
    return "Sablix " + checker_.availableVersionText() + " is available";
}

void UpdateNotice::showMessage(const QString& message) {
    if (message == message_) return;
    message_ = message;
    emit changed();
}

void UpdateNotice::update() {
    showMessage({});
    if (requestUpdate_) requestUpdate_();
}

void UpdateNotice::dismiss() { checker_.setDismissed(true); }

}  // namespace sablix
