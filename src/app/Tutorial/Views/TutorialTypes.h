#pragma once
#include <QObject>
#include <QtQml/qqml.h>

#include "Tutorial/TutorialPresenter.h"

// The tutorial's state lives in the application core, which knows no QML; this makes it known to
// the views by name. The detail pane's presenter makes every instance.
namespace sablix {

struct TutorialPresenterForeign {
    Q_GADGET
    QML_FOREIGN(sablix::TutorialPresenter)
    QML_NAMED_ELEMENT(TutorialPresenter)
    QML_UNCREATABLE("Made by the detail pane's presenter.")
};

}  // namespace sablix
