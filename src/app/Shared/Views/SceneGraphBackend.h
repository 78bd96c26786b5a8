#pragma once

namespace sablix {

// Draws every window with Qt Quick's software renderer unless QT_QUICK_BACKEND names another.
// Call once, before the first window is made.
void chooseSceneGraphBackend();

}  // namespace sablix
