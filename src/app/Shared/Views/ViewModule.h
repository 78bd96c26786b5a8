#pragma once

class QQmlEngine;

namespace sablix {

// Each subsystem keeps its views in a folder of its own, so a view reaches another folder's views
// only through the module's qmldir, which the resources hold under qrc:/Sablix/. Every engine that
// loads a view must know where that is.
void findViewModule(QQmlEngine& engine);

}  // namespace sablix
