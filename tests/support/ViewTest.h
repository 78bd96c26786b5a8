#pragma once
#include <functional>
#include <stdexcept>
#include <string>

#include <QQuickItem>
#include <QQuickView>
#include <QTest>
#include <gtest/gtest.h>

#include "Shared/Views/ViewModule.h"

namespace viewtest {

// A fixture for a Qt Quick window driven as a user would: items found by object name through the
// visual tree (a Repeater's items are no QObject children of the form), clicked at their centre
// and typed into with key events.
class ViewTest : public ::testing::Test {
protected:
    virtual QQuickWindow* window() = 0;

    // Loads the QML file over the presenter, shows it and gives it the keyboard.
    static void load(QQuickView& view, const char* qml, QObject* presenter, QSize size) {
        load(view, qml, {{"presenter", QVariant::fromValue(presenter)}}, size);
    }
    // The same with the root item's required properties as given.
    static void load(QQuickView& view, const char* qml, const QVariantMap& properties, QSize size) {
        view.setInitialProperties(properties);
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.resize(size);
        sablix::findViewModule(*view.engine());
        view.setSource(QUrl(QString("qrc:/Sablix/") + qml));
        ASSERT_EQ(view.status(), QQuickView::Ready) << view.errors().value(0).toString().toStdString();
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
        view.requestActivate();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    }

    static bool waitFor(const std::function<bool()>& condition, int ms = 10'000) {
        return QTest::qWaitFor(condition, ms);
    }
    static QQuickItem* find(QQuickItem* parent, const QString& name) {
        if (parent->objectName() == name && parent->isVisible()) return parent;
        for (QQuickItem* child : parent->childItems())
            if (QQuickItem* found = find(child, name)) return found;
        return nullptr;
    }
    bool shows(const QString& name) { return find(window()->contentItem(), name) != nullptr; }
    QQuickItem* item(const QString& name) {
        QQuickItem* found = nullptr;
        if (!waitFor([&] { return (found = find(window()->contentItem(), name)) != nullptr; }, 5000))
            throw std::runtime_error("no visible item " + name.toStdString());
        return found;
    }
    QString text(const QString& name) { return item(name)->property("text").toString(); }
    bool enabled(const QString& name) { return item(name)->isEnabled(); }
    void click(const QString& name) {
        QQuickItem* target = item(name);
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(window(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }
    void key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(window(), key, modifiers);
    }
    void type(const std::string& text) {
        for (char c : text) QTest::keyClick(window(), c);
    }
    void focus(const QString& name) {
        click(name);
        ASSERT_TRUE(waitFor([&] { return item(name)->hasActiveFocus(); }, 2000)) << name.toStdString();
    }
    void typeInto(const QString& name, const std::string& text) {
        focus(name);
        type(text);
    }
};

}  // namespace viewtest
