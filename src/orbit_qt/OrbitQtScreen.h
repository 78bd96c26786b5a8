#pragma once
#include <memory>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QtQml/qqml.h>

class QQuickItem;

namespace orbit {
class OrbitSDK;
}

namespace orbitqt {

// What an item reports each time it is shown: `OrbitScreen.name: "Home"` on any Item sends
// "$screen" with that name. The name defaults to the item's type name.
class OrbitScreenAttached final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
public:
    explicit OrbitScreenAttached(QObject* attachee);

    QString name() const;
    void setName(const QString& name);

signals:
    void nameChanged();

private:
    void visibilityChanged();
    void report();

    QPointer<QQuickItem> item_;
    QString name_;
    bool shown_ = false;
};

// The attaching type; never made itself.
class OrbitScreen final : public QObject {
    Q_OBJECT
    QML_ATTACHED(OrbitScreenAttached)
public:
    static OrbitScreenAttached* qmlAttachedProperties(QObject* object) { return new OrbitScreenAttached(object); }

    // The client that every attachment reports to, set by the program (none: nothing is reported).
    static void setClient(std::weak_ptr<orbit::OrbitSDK> client);
    static std::shared_ptr<orbit::OrbitSDK> client();
    // Makes `import Orbit 1.0` offer OrbitScreen.
    static void registerQmlType();
};

}  // namespace orbitqt
