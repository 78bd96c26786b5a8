#include "Referrals/Views/ReferralsSettingsSectionPresenter.h"

#include <QTimer>

#include "Referrals/ReferralManager.h"

namespace sablix {

ReferralsSettingsSectionPresenter::ReferralsSettingsSectionPresenter(ReferralManager& manager,
                                                                     desktop::Pasteboard& pasteboard, QObject* parent)
    : QObject(parent), manager_(manager), pasteboard_(pasteboard) {
    connect(&manager_, &ReferralManager::infoChanged, this, [this] {
        emit infoChanged();
        emit cardChanged();
    });
    connect(&manager_, &ReferralManager::isLoadingChanged, this, &ReferralsSettingsSectionPresenter::cardChanged);
    connect(&manager_, &ReferralManager::errorMessageChanged, this, [this] {
        emit errorMessageChanged();
        emit cardChanged();
    });
    connect(&manager_, &ReferralManager::applyStateChanged, this,
            &ReferralsSettingsSectionPresenter::applyStateChanged);
}

// Information once loaded stays on the card through later loads and their failures.
ReferralsSettingsSectionPresenter::Card ReferralsSettingsSectionPresenter::card() const {
    if (manager_.isLoading() && !manager_.info()) return Card::Loading;
    if (manager_.info()) return Card::Info;
    if (manager_.errorMessage()) return Card::Error;
    return Card::Empty;
}

QString ReferralsSettingsSectionPresenter::code() const {
    return manager_.info() ? QString::fromStdString(manager_.info()->code) : QString();
}

QString ReferralsSettingsSectionPresenter::shareUrl() const {
    return manager_.info() ? QString::fromStdString(manager_.info()->shareUrl) : QString();
}

QString ReferralsSettingsSectionPresenter::counters() const {
    if (!manager_.info()) return {};
    const ReferralStats& stats = manager_.info()->stats;
    return QString::number(stats.monthsEarned) + " free months earned - " + QString::number(stats.qualified) +
           " friends upgraded - " + QString::number(stats.pending) + " pending";
}

QString ReferralsSettingsSectionPresenter::errorMessage() const {
    return QString::fromStdString(manager_.errorMessage().value_or(""));
}

ReferralsSettingsSectionPresenter::ApplyState ReferralsSettingsSectionPresenter::applyState() const {
    switch (manager_.applyState().kind) {
    case ReferralManager::ApplyState::Kind::idle: return ApplyState::Idle;
    case ReferralManager::ApplyState::Kind::applying: return ApplyState::Applying;
    case ReferralManager::ApplyState::Kind::applied: return ApplyState::Applied;
    case ReferralManager::ApplyState::Kind::failed: return ApplyState::Failed;
    }
    return ApplyState::Idle;
}

QString ReferralsSettingsSectionPresenter::applyMessage() const {
    return QString::fromStdString(manager_.applyState().message);
}

void ReferralsSettingsSectionPresenter::load() { manager_.fetchReferralInfo(); }

void ReferralsSettingsSectionPresenter::copy(const QString& text, const QString& item) {
    // A button reads "Copied" only when the clipboard really took the text.
    if (!pasteboard_.setString(text.toStdString())) return;
    setCopiedItem(item);
    // Each click has its own timer; it leaves alone a label that a later click changed.
    QTimer::singleShot(kCopiedDuration, this, [this, item] {
        if (copiedItem_ == item) setCopiedItem({});
    });
}

void ReferralsSettingsSectionPresenter::apply(const QString& codeInput) { manager_.applyCode(codeInput.toStdString()); }

bool ReferralsSettingsSectionPresenter::hasCode(const QString& codeInput) const {
    for (QChar c : codeInput)
        if (c != u' ' && c != u'\t') return true;
    return false;
}

void ReferralsSettingsSectionPresenter::setCopiedItem(const QString& item) {
    if (copiedItem_ == item) return;
    copiedItem_ = item;
    emit copiedItemChanged();
}

}  // namespace sablix
