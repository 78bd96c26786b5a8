#include "Expansion/Views/FillInFieldsWindowController.h"

#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <QStringList>
#include <algorithm>
#include <cmath>

#include "Expansion/Views/FillInFieldsPresenter.h"
#include "Shared/Views/ViewModule.h"

// QQuickWindow::closing carries a QQuickCloseEvent, which Qt declares but keeps private. Nothing
// here looks at it; declared opaque, the signal can be connected by member pointer.
Q_DECLARE_OPAQUE_POINTER(QQuickCloseEvent*)

namespace sablix {
namespace {

// Where the application's QML module puts the view among its resources.
const QUrl kViewSource(QStringLiteral("qrc:/Sablix/Expansion/Views/FillInFieldsView.qml"));

}  // namespace

FillInFieldsWindowController::FillInFieldsWindowController(desktop::Workspace& workspace, platform::Executor& mainQueue)
    : workspace_(workspace), mainQueue_(mainQueue), logger_(platform::appLog("FillInFieldsWindowController")) {}

FillInFieldsWindowController::~FillInFieldsWindowController() {
    alive_.reset();
    completion_ = nullptr;  // a dialog still open when the engine goes away answers nothing
    focused_ = nullptr;
    // Gone while this object is still whole, so whatever the closing window signals finds no completion.
    panel_.reset();
}

int FillInFieldsWindowController::contentHeight(size_t fieldCount, int wrappedNamesHeight) {
    const auto height =
        static_cast<long long>(fieldCount) * kHeightPerField + kHeightBesideFields + std::max(0, wrappedNamesHeight);
    return static_cast<int>(std::clamp<long long>(height, kMinHeight, kMaxHeight));
}

void FillInFieldsWindowController::show(std::vector<std::string> fieldNames, Completion completion, Focused focused) {
    // Always queued, even on the main thread, so the caller never waits for the window.
    std::weak_ptr<int> alive = alive_;
    mainQueue_.async([this, alive, fieldNames = std::move(fieldNames), completion = std::move(completion),
                      focused = std::move(focused)]() mutable {
        if (alive.expired()) return;
        presentPanel(fieldNames, std::move(completion), std::move(focused));
    });
}

void FillInFieldsWindowController::presentPanel(const std::vector<std::string>& fieldNames, Completion completion,
                                                Focused focused) {
    // A dialog still open from an earlier expansion is given up: it answers as cancelled, so
    // its completion is not left waiting for ever.
    if (completion_) finish(std::nullopt);

    previousApp_ = workspace_.frontmostApplication();

    QStringList names;
    for (const auto& name : fieldNames) names << QString::fromStdString(name);

    if (!engine_) {
        engine_ = std::make_unique<QQmlEngine>();
        findViewModule(*engine_);
    }
    auto panel = std::make_unique<QQuickView>(engine_.get(), nullptr);
    panel->setTitle(QString::fromUtf8(kTitle));
    panel->setFlags(Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    panel->setResizeMode(QQuickView::SizeRootObjectToView);
    auto* form = new FillInFieldsPresenter(names, panel.get());  // lives as long as its view
    panel->setInitialProperties({{QStringLiteral("form"), QVariant::fromValue(form)}});
    panel->setSource(kViewSource);
    if (!panel->rootObject()) {
        for (const auto& error : panel->errors()) logger_.error("%s", error.toString().toUtf8().constData());
        panel_ = std::move(panel);
        previousApp_.reset();
        if (focused) focused();
        if (completion) completion(std::nullopt);
        return;
    }
    connect(form, &FillInFieldsPresenter::inserted, this, [this](const Values& values) { finish(values); });
    connect(form, &FillInFieldsPresenter::cancelled, this, [this] { finish(std::nullopt); });
    // The window's own close button: the user gave up, exactly as with Cancel.
    connect(panel.get(), &QQuickWindow::closing, this, [this] { finish(std::nullopt); });
    QQuickView* shown = panel.get();
    connect(shown, &QWindow::activeChanged, this, [this, shown] {
        if (shown == panel_.get() && shown->isActive()) tellFocused();
    });

    const auto wrapped = panel->rootObject()->property("wrappedNamesHeight").toReal();
    const QSize size(kWidth, contentHeight(fieldNames.size(), static_cast<int>(std::ceil(wrapped))));
    panel->resize(size);
    if (QScreen* screen = panel->screen() ? panel->screen() : QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        panel->setPosition(available.center() - QPoint(size.width() / 2, size.height() / 2));
    }

    panel_ = std::move(panel);  // the earlier window (closed) goes now
    completion_ = std::move(completion);
    focused_ = std::move(focused);
    panel_->show();
    panel_->raise();
    panel_->requestActivate();
}

void FillInFieldsWindowController::finish(std::optional<Values> values) {
    if (!completion_) return;  // answered already: each dialog answers once
    tellFocused();
    Completion completion = std::move(completion_);
    completion_ = nullptr;
    if (panel_) panel_->close();
    restorePreviousApp();
    completion(std::move(values));
}

void FillInFieldsWindowController::tellFocused() {
    Focused focused = std::move(focused_);
    focused_ = nullptr;
    if (focused) focused();
}

void FillInFieldsWindowController::restorePreviousApp() {
    if (!previousApp_) return;
    workspace_.activate(*previousApp_);
    previousApp_.reset();
}

}  // namespace sablix
