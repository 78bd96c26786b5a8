#pragma once

namespace orbit {

// The survey settings of a configuration; nothing in this program reads them.
struct OrbitSurveysConfig {};

}  // namespace orbit
