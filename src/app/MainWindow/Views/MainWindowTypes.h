#pragma once
#include <QObject>
#include <QtQml/qqml.h>

#include "MainWindow/MainWindowState.h"
#include "MainWindow/MiddlePanelModel.h"
#include "MainWindow/RightPanelModel.h"
#include "MainWindow/SnippetValue.h"
#include "MainWindow/TagSidebarModel.h"
#include "MainWindow/UpdateNotice.h"

// The main window's models live in the application core, which knows no QML; these make them
// known to the views by name, so views can declare typed properties of them. The application
// makes every instance.
namespace sablix {

struct MiddlePanelModelForeign {
    Q_GADGET
    QML_FOREIGN(sablix::MiddlePanelModel)
    QML_NAMED_ELEMENT(MiddlePanelModel)
    QML_UNCREATABLE("Made by the application.")
};

struct RightPanelModelForeign {
    Q_GADGET
    QML_FOREIGN(sablix::RightPanelModel)
    QML_NAMED_ELEMENT(RightPanelModel)
    QML_UNCREATABLE("Made by the application.")
};

struct TagSidebarModelForeign {
    Q_GADGET
    QML_FOREIGN(sablix::TagSidebarModel)
    QML_NAMED_ELEMENT(TagSidebarModel)
    QML_UNCREATABLE("Made by the application.")
};

struct MainWindowStateForeign {
    Q_GADGET
    QML_FOREIGN(sablix::MainWindowState)
    QML_NAMED_ELEMENT(MainWindowState)
    QML_UNCREATABLE("Made by the application.")
};

struct UpdateNoticeForeign {
    Q_GADGET
    QML_FOREIGN(sablix::UpdateNotice)
    QML_NAMED_ELEMENT(UpdateNotice)
    QML_UNCREATABLE("Made by the application.")
};

// A snippet as a value: views read its properties and hand it back to the models.
struct SnippetValueForeign {
    Q_GADGET
    QML_FOREIGN(sablix::SnippetValue)
    QML_VALUE_TYPE(snippetValue)
    QML_UNCREATABLE("Snippets come from the models.")
};

}  // namespace sablix
