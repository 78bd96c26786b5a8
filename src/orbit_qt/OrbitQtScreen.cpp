#include "orbit_qt/OrbitQtScreen.h"

#include <mutex>

#include <QMetaObject>
#include <QQuickItem>
#include <QTimer>

#include "orbit/OrbitSDK.h"

namespace orbitqt {
namespace {

std::mutex clientLock;
std::weak_ptr<orbit::OrbitSDK> theClient;  // with clientLock held

// "HomeView_QMLTYPE_3" → "HomeView": the type name without what the engine appends.
QString typeNameOf(const QObject* object) {
    QString name = QString::fromUtf8(object->metaObject()->className());
    for (const char* suffix : {"_QMLTYPE_", "_QML_"})
        if (const auto at = name.indexOf(QLatin1String(suffix)); at > 0) name.truncate(at);
    return name;
}

}  // namespace

void OrbitScreen::setClient(std::weak_ptr<orbit::OrbitSDK> client) {
    std::lock_guard lock(clientLock);
    theClient = std::move(client);
}

std::shared_ptr<orbit::OrbitSDK> OrbitScreen::client() {
    std::lock_guard lock(clientLock);
    return theClient.lock();
}

void OrbitScreen::registerQmlType() {
    qmlRegisterUncreatableType<OrbitScreen>("Orbit", 1, 0, "OrbitScreen",
                                            QStringLiteral("OrbitScreen is attached only"));
}

OrbitScreenAttached::OrbitScreenAttached(QObject* attachee)
    : QObject(attachee), item_(qobject_cast<QQuickItem*>(attachee)) {
    if (!item_) return;
    connect(item_, &QQuickItem::visibleChanged, this, &OrbitScreenAttached::visibilityChanged);
    // The item's first showing: once its properties (the name among them) are all set.
    QTimer::singleShot(0, this, [this] { visibilityChanged(); });
}

QString OrbitScreenAttached::name() const { return name_.isEmpty() && item_ ? typeNameOf(item_) : name_; }

void OrbitScreenAttached::setName(const QString& name) {
    if (name == name_) return;
    name_ = name;
    emit nameChanged();
}

void OrbitScreenAttached::visibilityChanged() {
    const bool shown = item_ && item_->isVisible();
    if (shown && !shown_) report();
    shown_ = shown;
}

void OrbitScreenAttached::report() {
    const auto client = OrbitScreen::client();
    if (!client) return;
    client->screen(name().toStdString());
}

}  // namespace orbitqt
