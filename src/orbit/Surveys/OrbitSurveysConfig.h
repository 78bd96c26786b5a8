#pragma once
#include <memory>
#include <optional>
#include <string>

#include "orbit/Surveys/OrbitSurveysDelegate.h"

namespace orbit {

// The survey settings of a configuration; nothing in this program reads them.
struct OrbitSurveysConfig {
    std::shared_ptr<OrbitSurveysDelegate> surveysDelegate = std::make_shared<OrbitSurveysDefaultDelegate>();
    std::optional<std::string> overrideDisplayLanguage;
};

}  // namespace orbit
