#pragma once
#include <QObject>
#include <QtQml/qqml.h>

#include "Tutorial/TutorialModel.h"

// The tutorial's state lives in the application core, which knows no QML; this makes it known to
// the views by name. The detail pane's presenter makes every instance.
namespace sablix {

struct TutorialModelForeign {
    Q_GADGET
    QML_FOREIGN(sablix::TutorialModel)
    QML_NAMED_ELEMENT(TutorialModel)
    QML_UNCREATABLE("Made by the detail pane's presenter.")
};

}  // namespace sablix
