// The item probe as the end-to-end tests read it back: they click a control at the place it tells.
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

#include "Shared/Views/ItemProbe.h"
#include "support/ProbedWindow.h"

namespace {

// The wheel leaves a list between pixels: a control in it is read where it is on the screen, not
// at the window's top, or the click meant for it lands somewhere else.
TEST(ItemProbe, TellsWhereAControlOfAScrolledListIs) {
    e2e::ProbedWindow probed({});  // names the probe file before the probe starts
    QQmlEngine engine;
    QQmlComponent component(&engine);
    component.setData(R"(
        import QtQuick
        Window {
            width: 200; height: 200; visible: true
            Flickable {
                anchors.fill: parent
                contentHeight: 1000
                contentY: 100.5
                Rectangle { objectName: "button"; x: 10; y: 300.25; width: 50.5; height: 20 }
            }
        })",
                      QUrl());
    std::unique_ptr<QQuickWindow> window(qobject_cast<QQuickWindow*>(component.create()));
    ASSERT_TRUE(window) << component.errorString().toStdString();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    sablix::ItemProbe probe([&] { return window.get(); });

    std::optional<e2e::ProbedItem> button;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (button = probed.maybe("button")).has_value(); }, 10000))
        << "the probe shows no button";
    const QPointF at = window->findChild<QQuickItem*>("button")->mapToGlobal(QPointF(0, 0));
    EXPECT_EQ(button->x, qRound(at.x()));
    EXPECT_EQ(button->y, qRound(at.y()));
    EXPECT_EQ(button->width, 51);
    EXPECT_FALSE(button->moving);
}

}  // namespace
