#include "SymbolIcons.h"

#include <QHash>
#include <QIcon>

namespace sablix {

void SymbolIcons::useFallbackTheme() { QIcon::setFallbackThemeName(QString::fromLatin1(kFallbackTheme)); }

QString SymbolIcons::iconName(const QString& symbol) {
    static const QHash<QString, QString> table{
        {"arrow.clockwise", "view-refresh-symbolic"},
        {"arrow.counterclockwise", "edit-undo-symbolic"},
        {"arrow.down.circle.fill", "software-update-available-symbolic"},
        {"arrow.right", "go-next-symbolic"},
        {"arrow.right.circle", "go-next-symbolic"},
        {"arrow.triangle.2.circlepath", "view-refresh-symbolic"},
        {"calendar", "x-office-calendar-symbolic"},
        {"calendar.badge.clock", "appointment-soon-symbolic"},
        {"calendar.badge.plus", "appointment-new-symbolic"},
        {"chart.bar.fill", "x-office-spreadsheet-symbolic"},
        {"checkmark", "object-select-symbolic"},
        {"checkmark.circle", "emblem-ok-symbolic"},
        {"checkmark.circle.fill", "emblem-ok-symbolic"},
        {"chevron.down", "pan-down-symbolic"},
        {"chevron.right", "pan-end-symbolic"},
        {"chevron.up.chevron.down", "pan-down-symbolic"},
        {"clock", "preferences-system-time-symbolic"},
        {"doc.on.clipboard", "edit-paste-symbolic"},
        {"envelope", "mail-unread-symbolic"},
        {"envelope.badge.fill", "mail-unread-symbolic"},
        {"exclamationmark.circle.fill", "dialog-error-symbolic"},
        {"exclamationmark.triangle", "dialog-warning-symbolic"},
        {"exclamationmark.triangle.fill", "dialog-warning-symbolic"},
        {"frames", "view-grid-symbolic"},
        {"gearshape", "preferences-system-symbolic"},
        {"globe", "web-browser-symbolic"},
        {"graduationcap", "help-contents-symbolic"},
        {"keyboard", "input-keyboard-symbolic"},
        {"link", "insert-link-symbolic"},
        {"magnifyingglass", "edit-find-symbolic"},
        {"minus", "list-remove-symbolic"},
        {"minus.circle", "list-remove-symbolic"},
        {"number", "view-list-ordered-symbolic"},
        {"paperplane.fill", "mail-send-symbolic"},
        {"pencil", "document-edit-symbolic"},
        {"person.2", "system-users-symbolic"},
        {"person.2.fill", "system-users-symbolic"},
        {"person.crop.circle.badge.plus", "contact-new-symbolic"},
        {"person.crop.circle.fill", "avatar-default-symbolic"},
        {"person.fill", "avatar-default-symbolic"},
        {"phone", "phone-symbolic"},
        {"plus", "list-add-symbolic"},
        {"questionmark.circle", "dialog-question-symbolic"},
        {"rectangle.portrait.and.arrow.forward", "system-log-out-symbolic"},
        {"space", "format-text-direction-ltr-symbolic"},
        {"stop.fill", "media-playback-stop-symbolic"},
        {"tag", "user-bookmarks-symbolic"},
        {"text.badge.plus", "document-new-symbolic"},
        {"text.bubble", "dialog-information-symbolic"},
        {"text.cursor", "insert-text-symbolic"},
        {"text.insert", "insert-object-symbolic"},
        {"textformat", "format-text-bold-symbolic"},
        {"textformat.size", "format-text-bold-symbolic"},
        {"trash", "user-trash-symbolic"},
        {"tray.full", "folder-symbolic"},
        {"type", "font-x-generic-symbolic"},
        {"wifi.slash", "network-wireless-offline-symbolic"},
        {"xmark", "window-close-symbolic"},
        {"xmark.circle", "window-close-symbolic"},
        {"xmark.circle.fill", "edit-clear-symbolic"},
    };
    return table.value(symbol);
}

}  // namespace sablix
