#include "orbit_qt/OrbitQtDeepLinkListener.h"

#include "orbit/OrbitSDK.h"

namespace orbitqt {

OrbitDeepLinkListener::OrbitDeepLinkListener(std::shared_ptr<orbit::OrbitSDK> orbit, QObject* parent)
    : QObject(parent), orbit_(orbit ? std::move(orbit) : orbit::OrbitSDK::shared()) {}

void OrbitDeepLinkListener::openUrl(const QUrl& url) {
    const auto orbit = orbit_.lock();
    if (!orbit) return;
    // The client parses the text again and refuses what is no URL; an invalid QUrl gives nothing to parse.
    orbit->captureDeepLink(url.toString(QUrl::FullyEncoded).toStdString());
}

}  // namespace orbitqt
