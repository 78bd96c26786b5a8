#include "Shared/Views/ItemProbe.h"

#ifndef SABLIX_ITEM_PROBE
#error "The build says whether the item probe is on (SABLIX_ITEM_PROBE=0 or 1)"
#endif

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSaveFile>

namespace sablix {

#if SABLIX_ITEM_PROBE

ItemProbe::ItemProbe(CurrentWindow window, QObject* parent) : QObject(parent), window_(std::move(window)) {
    path_ = qEnvironmentVariable(kVariable);
    if (path_.isEmpty() || !window_) return;
    connect(&timer_, &QTimer::timeout, this, &ItemProbe::write);
    timer_.start(kIntervalMs);
}

void ItemProbe::collect(QQuickItem* item, bool moving, QJsonArray& items) {
    if (!item->isVisible()) return;
    // A Flickable, and every list and scroll view built on one.
    moving = moving || item->property("moving").toBool();
    if (!item->objectName().isEmpty()) {
        const QPointF topLeft = item->mapToGlobal(QPointF(0, 0));
        QJsonObject entry{{"name", item->objectName()},
                          {"x", topLeft.x()},
                          {"y", topLeft.y()},
                          {"width", item->width()},
                          {"height", item->height()},
                          {"enabled", item->isEnabled()},
                          {"moving", moving}};
        const QVariant text = item->property("text");
        if (text.metaType().id() == QMetaType::QString) entry.insert("text", text.toString());
        items.append(entry);
    }
    for (QQuickItem* child : item->childItems()) collect(child, moving, items);
}

void ItemProbe::write() {
    QQuickWindow* window = window_();
    // A closed window shows nothing.
    QJsonArray items;
    if (window && window->isVisible()) {
        collect(window->contentItem(), false, items);
        // Sheets over the window are windows of their own.
        for (QWindow* other : QGuiApplication::topLevelWindows()) {
            auto* sheet = qobject_cast<QQuickWindow*>(other);
            if (sheet && sheet != window && sheet->transientParent() == window && sheet->isVisible())
                collect(sheet->contentItem(), false, items);
        }
    }
    // Whole or not at all, so a reader never sees half a list.
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly)) return;
    file.write(QJsonDocument(items).toJson(QJsonDocument::Compact));
    file.commit();
}

#else

// Built without the probe: the variable is ignored and nothing is written.
ItemProbe::ItemProbe(CurrentWindow window, QObject* parent) : QObject(parent), window_(std::move(window)) {}

#endif

}  // namespace sablix
