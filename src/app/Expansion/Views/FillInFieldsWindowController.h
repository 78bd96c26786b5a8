#pragma once
#include <QObject>
#include <memory>
#include <optional>

#include "Expansion/FillInPresenter.h"
#include "desktop/Workspace.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"

class QQmlEngine;
class QQuickView;

namespace sablix {

// The "Fill in Fields" dialog: a small window floating over the application the user was typing
// in, with one field per fill-in name. When it closes (Insert, Cancel, Escape or the window's
// close button, which counts as Cancel) that application is brought to the front again and then
// the completion runs. Lives on the main thread; show() may be called from any thread.
class FillInFieldsWindowController final : public QObject, public FillInPresenter {
    Q_OBJECT

public:
    static constexpr const char* kTitle = "Fill in Fields";
    static constexpr int kWidth = 360;
    static constexpr int kHeightPerField = 64;
    static constexpr int kHeightBesideFields = 112;
    static constexpr int kMinHeight = 180;
    static constexpr int kMaxHeight = 600;

    // mainQueue runs work on the thread of the Qt event loop.
    FillInFieldsWindowController(desktop::Workspace& workspace, platform::Executor& mainQueue);
    ~FillInFieldsWindowController() override;

    void show(std::vector<std::string> fieldNames, Completion completion, Focused focused) override;

    // The window of the latest show(), kept after it closes until the next show() replaces it.
    QQuickView* panel() const { return panel_.get(); }
    // Each field's share assumes a name on one line; wrappedNamesHeight is what the names take beyond that.
    static int contentHeight(size_t fieldCount, int wrappedNamesHeight = 0);

private:
    void presentPanel(const std::vector<std::string>& fieldNames, Completion completion, Focused focused);
    void finish(std::optional<Values> values);
    void tellFocused();
    void restorePreviousApp();

    desktop::Workspace& workspace_;
    platform::Executor& mainQueue_;
    platform::Log logger_;
    std::unique_ptr<QQmlEngine> engine_;  // shared by every panel; outlives them
    std::unique_ptr<QQuickView> panel_;
    std::optional<desktop::RunningApplication> previousApp_;
    Completion completion_;  // set while the panel is open
    Focused focused_;        // set while the panel is open and has not yet had the focus
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace sablix
