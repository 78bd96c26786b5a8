#include "SymbolIcons.h"

#include <QHash>

namespace sablix {

QString SymbolIcons::iconName(const QString& symbol) {
    static const QHash<QString, QString> table{
        {"arrow.clockwise", "view-refresh"},
        {"arrow.counterclockwise", "edit-undo"},
        {"arrow.down.circle.fill", "software-update-available"},
        {"arrow.right", "go-next"},
        {"arrow.right.circle", "go-next"},
        {"arrow.triangle.2.circlepath", "view-refresh"},
        {"calendar", "x-office-calendar"},
        {"calendar.badge.clock", "x-office-calendar"},
        {"calendar.badge.plus", "x-office-calendar"},
        {"chart.bar.fill", "utilities-system-monitor"},
        {"checkmark", "object-select"},
        {"checkmark.circle", "emblem-ok"},
        {"checkmark.circle.fill", "emblem-ok"},
        {"chevron.down", "pan-down"},
        {"chevron.right", "pan-end"},
        {"chevron.up.chevron.down", "pan-down"},
        {"clock", "preferences-system-time"},
        {"doc.on.clipboard", "edit-paste"},
        {"envelope.badge.fill", "mail-unread"},
        {"exclamationmark.circle.fill", "dialog-error"},
        {"exclamationmark.triangle", "dialog-warning"},
        {"exclamationmark.triangle.fill", "dialog-warning"},
        {"frames", "view-grid"},
        {"gearshape", "preferences-system"},
        {"globe", "web-browser"},
        {"graduationcap", "help-contents"},
        {"keyboard", "input-keyboard"},
        {"minus", "list-remove"},
        {"minus.circle", "list-remove"},
        {"number", "format-list-ordered"},
        {"paperplane.fill", "mail-send"},
        {"pencil", "document-edit"},
        {"person.2", "system-users"},
        {"person.2.fill", "system-users"},
        {"person.crop.circle.badge.plus", "contact-new"},
        {"person.crop.circle.fill", "avatar-default"},
        {"person.fill", "avatar-default"},
        {"plus", "list-add"},
        {"questionmark.circle", "help-about"},
        {"rectangle.portrait.and.arrow.forward", "system-log-out"},
        {"space", "format-text-direction-ltr"},
        {"stop.fill", "media-playback-stop"},
        {"tag", "tag"},
        {"text.badge.plus", "document-new"},
        {"text.bubble", "dialog-information"},
        {"text.cursor", "insert-text"},
        {"text.insert", "insert-text"},
        {"textformat", "format-text-bold"},
        {"textformat.size", "format-text-bold"},
        {"trash", "user-trash"},
        {"tray.full", "folder"},
        {"type", "font-x-generic"},
        {"wifi.slash", "network-offline"},
        {"xmark", "window-close"},
        {"xmark.circle", "window-close"},
        {"xmark.circle.fill", "window-close"},
    };
    return table.value(symbol);
}

}  // namespace sablix
