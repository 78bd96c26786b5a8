#pragma once
#include <chrono>

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

#include "desktop/Pasteboard.h"

namespace sablix {

class ReferralManager;

// What the referrals section of the settings sheet shows and does, over the one referral manager:
// which card it shows, the user's code and counters, the outcome of applying a friend's code, and
// the copy buttons with their brief "Copied". The section's view only shows it.
class ReferralsSettingsSectionPresenter final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The referrals section's presenter is made by the composition root.")
    Q_PROPERTY(Card card READ card NOTIFY cardChanged)
    Q_PROPERTY(QString code READ code NOTIFY infoChanged)
    Q_PROPERTY(QString shareUrl READ shareUrl NOTIFY infoChanged)
    Q_PROPERTY(QString counters READ counters NOTIFY infoChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(ApplyState applyState READ applyState NOTIFY applyStateChanged)
    Q_PROPERTY(QString applyMessage READ applyMessage NOTIFY applyStateChanged)
    Q_PROPERTY(QString copiedItem READ copiedItem NOTIFY copiedItemChanged)

public:
    // Loading: the first load runs; Info: the code, counters and friend's-code rows; Error: the
    // last load failed with nothing loaded before; Empty: none of these.
    enum class Card { Loading, Info, Error, Empty };
    Q_ENUM(Card)
    enum class ApplyState { Idle, Applying, Applied, Failed };
    Q_ENUM(ApplyState)

    // How long a copy button reads "Copied".
    static constexpr std::chrono::milliseconds kCopiedDuration{1500};

    ReferralsSettingsSectionPresenter(ReferralManager& manager, desktop::Pasteboard& pasteboard,
                                      QObject* parent = nullptr);

    Card card() const;
    QString code() const;
    QString shareUrl() const;
    // "<months> free months earned - <qualified> friends upgraded - <pending> pending".
    QString counters() const;
    QString errorMessage() const;
    ApplyState applyState() const;
    // The failure text while applyState is Failed; empty otherwise.
    QString applyMessage() const;
    // "code" or "link" while that button reads "Copied"; empty otherwise.
    QString copiedItem() const { return copiedItem_; }

    // The section was shown: load the referral information.
    Q_INVOKABLE void load();
    // Puts the text on the clipboard and lets the named button read "Copied" for a while.
    Q_INVOKABLE void copy(const QString& text, const QString& item);
    // Applies the friend's code as typed; the manager trims and upper-cases it.
    Q_INVOKABLE void apply(const QString& codeInput);
    // Whether the field holds more than spaces and tabs.
    Q_INVOKABLE bool hasCode(const QString& codeInput) const;

signals:
    void cardChanged();
    void infoChanged();
    void errorMessageChanged();
    void applyStateChanged();
    void copiedItemChanged();

private:
    void setCopiedItem(const QString& item);

    ReferralManager& manager_;
    desktop::Pasteboard& pasteboard_;
    QString copiedItem_;
};

}  // namespace sablix
