#include "desktop/QtMainQueue.h"

#include <QCoreApplication>
#include <QTimer>

namespace desktop {

void QtMainQueue::async(platform::Task task) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task), Qt::QueuedConnection);
}

void QtMainQueue::asyncAfter(std::chrono::milliseconds delay, platform::Task task) {
    // A timer must be started on the main thread; hop there first.
    async([delay, task = std::move(task)]() mutable {
        QTimer::singleShot(delay, QCoreApplication::instance(), std::move(task));
    });
}

QtMainQueue& QtMainQueue::shared() {
    static QtMainQueue queue;
    return queue;
}

}  // namespace desktop
