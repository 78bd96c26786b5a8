#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QQmlComponent>
#include <QQuickItem>
#include <QQuickView>
#include <QTest>

#include "../orbit/OrbitClientFixture.h"
#include "orbit_qt/OrbitQtDeepLinkListener.h"
#include "orbit_qt/OrbitQtLifecycle.h"
#include "orbit_qt/OrbitQtScreen.h"

using nlohmann::json;
using orbittest::Client;
using orbittest::names;

// Offscreen, with the queue's timer off: an item with the screen attachment shown three times
// sends three "$screen" events with its name, and the window losing the focus (the application
// leaving the active state) sends what was queued.
TEST(OrbitQtTest, ShownItemsReportScreensAndDeactivationSendsTheQueue) {
    Client client([](orbit::OrbitConfig& config) { config.disableFlushOnBackgroundForTesting = false; });
    orbitqt::OrbitQtLifecycle lifecycle(*qGuiApp, client.sdk);
    orbitqt::OrbitScreen::setClient(client.sdk);
    orbitqt::OrbitScreen::registerQmlType();

    QQuickView view;
    QQmlComponent component(view.engine());
    component.setData(R"(import QtQuick
import Orbit 1.0
Item {
    width: 100; height: 100
    Rectangle { objectName: "home"; OrbitScreen.name: "Home"; visible: false }
})",
                      QUrl());
    std::unique_ptr<QObject> root(component.create());
    ASSERT_TRUE(root) << component.errorString().toStdString();
    qobject_cast<QQuickItem*>(root.get())->setParentItem(view.contentItem());
    auto* home = root->findChild<QQuickItem*>("home");
    ASSERT_TRUE(home);

    view.show();
    view.requestActivate();
    ASSERT_TRUE(QTest::qWaitFor([] { return QGuiApplication::applicationState() == Qt::ApplicationActive; }));
    for (int shown = 0; shown < 3; ++shown) {
        home->setVisible(true);
        QCoreApplication::processEvents();
        home->setVisible(false);
    }
    EXPECT_TRUE(client.events().empty());  // nothing asks the queue to send yet

    // The offscreen platform never leaves the active state once in it: the signal is sent as the
    // platform would send it.
    emit qGuiApp->applicationStateChanged(Qt::ApplicationInactive);
    ASSERT_TRUE(QTest::qWaitFor([&] { return client.events().size() >= 3; }, 10000)) << client.events().size();
    const auto events = client.events();
    ASSERT_EQ(names(events), (std::vector<std::string>{"$screen", "$screen", "$screen"}));
    for (const auto& event : events) EXPECT_EQ(event["properties"]["$screen_name"], "Home");
    EXPECT_TRUE(events[0]["properties"].contains("$screen_width"));
}

// The listener reports the URL's encoded text as a deep link, and nothing for a URL that is none;
// one made without a client reports to the default instance, which nobody set up here.
TEST(OrbitQtTest, TheDeepLinkListenerReportsOpenedURLs) {
    Client client;
    orbitqt::OrbitDeepLinkListener listener(client.sdk);
    orbitqt::OrbitDeepLinkListener toDefault;
    toDefault.openUrl(QUrl("sablix://ignored"));
    listener.openUrl(QUrl());
    listener.openUrl(QUrl("sablix://snippet/open?name=a%20b&x=%C3%A9"));
    const auto events = client.sent(1);
    ASSERT_EQ(names(events), std::vector<std::string>{"Deep Link Opened"});
    EXPECT_EQ(events[0]["properties"]["url"], "sablix://snippet/open?name=a%20b&x=%C3%A9");
}
