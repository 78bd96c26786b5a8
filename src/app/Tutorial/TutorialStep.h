#pragma once

namespace sablix {

// The steps of the first-run tutorial, in the order the user meets them; the raw values are what
// the views compare against.
enum class TutorialStep { welcome = 0, practice = 1, complete = 2 };

}  // namespace sablix
