#pragma once
#include <QObject>
#include <QtQml/qqml.h>

#include "Accounts/AuthManager.h"
#include "Shell/Hotkey/HotkeyRecorder.h"
#include "Settings/FeedbackPresenter.h"
#include "Snippets/SnippetSettings.h"

// The settings sheet's objects live in the application core, which knows no QML; these make
// them known to the views by name. The application makes every instance.
namespace sablix {

struct HotkeyRecorderForeign {
    Q_GADGET
    QML_FOREIGN(sablix::HotkeyRecorder)
    QML_NAMED_ELEMENT(HotkeyRecorder)
    QML_UNCREATABLE("Made by the application.")
};

struct SnippetSettingsForeign {
    Q_GADGET
    QML_FOREIGN(sablix::SnippetSettings)
    QML_NAMED_ELEMENT(SnippetSettings)
    QML_UNCREATABLE("Made by the application.")
};

struct AuthManagerForeign {
    Q_GADGET
    QML_FOREIGN(sablix::AuthManager)
    QML_NAMED_ELEMENT(AuthManager)
    QML_UNCREATABLE("Made by the application.")
};

struct FeedbackPresenterForeign {
    Q_GADGET
    QML_FOREIGN(sablix::FeedbackPresenter)
    QML_NAMED_ELEMENT(FeedbackPresenter)
    QML_UNCREATABLE("Made by the settings sheet's presenter.")
};

}  // namespace sablix
