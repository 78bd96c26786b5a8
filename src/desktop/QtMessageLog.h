#pragma once

namespace desktop {

// Sends Qt's own messages (QML binding errors, platform plugin warnings, qWarning) into the
// project's log under their Qt category, so they reach the same place as every other line.
void routeQtMessagesToLog();

}  // namespace desktop
