#include "orbit/Surveys/Models/OrbitSurveyResponse.h"

namespace orbit {

std::optional<OrbitSurveyResponseType> orbitSurveyResponseType(int rawValue) {
    if (rawValue < 0 || rawValue > 4) return std::nullopt;
    return static_cast<OrbitSurveyResponseType>(rawValue);
}

OrbitSurveyResponse OrbitSurveyResponse::link(bool linkClicked) {
    OrbitSurveyResponse response(OrbitSurveyResponseType::link);
    response.linkClicked_ = linkClicked;
    return response;
}

OrbitSurveyResponse OrbitSurveyResponse::rating(std::optional<int> ratingValue) {
    OrbitSurveyResponse response(OrbitSurveyResponseType::rating);
    response.ratingValue_ = ratingValue;
    return response;
}

OrbitSurveyResponse OrbitSurveyResponse::openEnded(std::optional<std::string> textValue) {
    OrbitSurveyResponse response(OrbitSurveyResponseType::openEnded);
    response.textValue_ = std::move(textValue);
    return response;
}

OrbitSurveyResponse OrbitSurveyResponse::singleChoice(std::optional<std::string> selectedOption) {
    OrbitSurveyResponse response(OrbitSurveyResponseType::singleChoice);
    if (selectedOption) response.selectedOptions_ = std::vector<std::string>{std::move(*selectedOption)};
    return response;
}

OrbitSurveyResponse OrbitSurveyResponse::multipleChoice(std::optional<std::vector<std::string>> selectedOptions) {
    OrbitSurveyResponse response(OrbitSurveyResponseType::multipleChoice);
    response.selectedOptions_ = std::move(selectedOptions);
    return response;
}

}  // namespace orbit
