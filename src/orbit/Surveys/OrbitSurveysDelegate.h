#pragma once
#include <functional>
#include <optional>

#include "orbit/Models/Surveys/OrbitDisplaySurvey.h"
#include "orbit/Surveys/Models/OrbitSurveyResponse.h"

namespace orbit {

// What a program implements to show surveys itself.
class OrbitSurveysDelegate {
public:
    using OnSurveyShown = std::function<void(const OrbitDisplaySurvey&)>;
    // The survey, the index of the answered question and the answer; what comes next, if anything.
    using OnSurveyResponse = std::function<std::optional<OrbitNextSurveyQuestion>(
        const OrbitDisplaySurvey&, int questionIndex, const OrbitSurveyResponse&)>;
    using OnSurveyClosed = std::function<void(const OrbitDisplaySurvey&)>;

    virtual ~OrbitSurveysDelegate() = default;
    virtual void renderSurvey(const OrbitDisplaySurvey& survey, OnSurveyShown onSurveyShown,
                              OnSurveyResponse onSurveyResponse, OnSurveyClosed onSurveyClosed) = 0;
    // Removes whatever the delegate is showing.
    virtual void cleanupSurveys() = 0;
};

// Shows nothing.
class OrbitSurveysDefaultDelegate final : public OrbitSurveysDelegate {
public:
    void renderSurvey(const OrbitDisplaySurvey&, OnSurveyShown, OnSurveyResponse, OnSurveyClosed) override {}
    void cleanupSurveys() override {}
};

}  // namespace orbit
