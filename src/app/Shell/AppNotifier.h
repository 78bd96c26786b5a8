#pragma once
#include <QObject>

namespace sablix {

// Application-wide news that views follow without knowing who caused it. One instance, made by
// the composition root and handed to whoever posts or listens. Lives on the main thread.
class AppNotifier : public QObject {
    Q_OBJECT

public:
    // The name under which the library change is known outside Qt (logs, other processes).
    static constexpr const char* kSnippetsChangedExternally = "com.sablix.snippetsChangedExternally";
    static constexpr const char* kReplayTutorial = "com.sablix.replayTutorial";

    explicit AppNotifier(QObject* parent = nullptr) : QObject(parent) {}

    void postSnippetsChangedExternally() { emit snippetsChangedExternally(); }
    void postReplayTutorial() { emit replayTutorial(); }

signals:
    // The personal library was changed by something other than the main window's own editing;
    // the snippet list reloads its current source.
    void snippetsChangedExternally();
    // The first-run tutorial was made due again; the main window clears its selection and shows it.
    // Delivered at once, on the posting (main) thread.
    void replayTutorial();
};

}  // namespace sablix
