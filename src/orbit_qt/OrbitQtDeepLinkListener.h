#pragma once
#include <memory>

#include <QObject>
#include <QUrl>

namespace orbit {
class OrbitSDK;
}

namespace orbitqt {

// Reports each URL that opened the program as a deep link. Connect whatever hands the program its
// URLs to `openUrl` (QDesktopServices::setUrlHandler can name it too).
class OrbitDeepLinkListener final : public QObject {
    Q_OBJECT
public:
    // Without a client it reports to the process's default instance.
    explicit OrbitDeepLinkListener(std::shared_ptr<orbit::OrbitSDK> orbit = nullptr, QObject* parent = nullptr);

public slots:
    void openUrl(const QUrl& url);

private:
    // Held weakly: a listener left connected must not keep a closed client alive.
    const std::weak_ptr<orbit::OrbitSDK> orbit_;
};

}  // namespace orbitqt
