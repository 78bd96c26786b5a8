#pragma once
#include <QAbstractNativeEventFilter>
#include <cstdint>
#include <optional>

#include "desktop/LocalKeyMonitor.h"

namespace desktop {

// The application's key presses as Qt receives them from X: a native event filter on the Qt
// event loop picks out the core key presses sent to this application's own windows (the root
// window's belong to the hot key) and maps their X keycodes through the same table as the hot
// key, so a recorded combination is the one the hot key then grabs.
class X11LocalKeyMonitor final : public LocalKeyMonitor, private QAbstractNativeEventFilter {
public:
    X11LocalKeyMonitor() = default;
    ~X11LocalKeyMonitor() override;
    X11LocalKeyMonitor(const X11LocalKeyMonitor&) = delete;
    X11LocalKeyMonitor& operator=(const X11LocalKeyMonitor&) = delete;

    void start(std::function<void(const MonitoredKey&)> onKeyDown) override;
    void stop() override;
    bool running() const override { return static_cast<bool>(onKeyDown_); }

    // The key press of an X keycode and modifier state; none for a modifier key.
    static std::optional<MonitoredKey> keyDown(uint8_t xKeycode, uint16_t xState);

private:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    std::function<void(const MonitoredKey&)> onKeyDown_;
};

}  // namespace desktop
