#include "orbit/Models/Surveys/OrbitDisplaySurvey.h"

namespace orbit {

std::optional<OrbitDisplaySurveyTextContentType> orbitDisplaySurveyTextContentType(int rawValue) {
    if (rawValue < 0 || rawValue > 1) return std::nullopt;
    return static_cast<OrbitDisplaySurveyTextContentType>(rawValue);
}

std::optional<OrbitDisplaySurveyRatingType> orbitDisplaySurveyRatingType(int rawValue) {
    if (rawValue < 0 || rawValue > 1) return std::nullopt;
    return static_cast<OrbitDisplaySurveyRatingType>(rawValue);
}

OrbitDisplaySurveyQuestion::OrbitDisplaySurveyQuestion(std::string id, std::string question,
                                                       std::optional<std::string> questionDescription,
                                                       OrbitDisplaySurveyTextContentType questionDescriptionContentType,
                                                       bool isOptional, std::optional<std::string> buttonText)
    : id_(std::move(id)),
      question_(std::move(question)),
      questionDescription_(std::move(questionDescription)),
      questionDescriptionContentType_(questionDescriptionContentType),
      isOptional_(isOptional),
      buttonText_(std::move(buttonText)) {}

OrbitDisplayRatingQuestion::OrbitDisplayRatingQuestion(OrbitDisplaySurveyQuestion question,
                                                       OrbitDisplaySurveyRatingType ratingType, int scaleLowerBound,
                                                       int scaleUpperBound, std::string lowerBoundLabel,
                                                       std::string upperBoundLabel)
    : OrbitDisplaySurveyQuestion(std::move(question)),
      ratingType_(ratingType),
      scaleLowerBound_(scaleLowerBound),
      scaleUpperBound_(scaleUpperBound),
      lowerBoundLabel_(std::move(lowerBoundLabel)),
      upperBoundLabel_(std::move(upperBoundLabel)) {}

OrbitDisplayChoiceQuestion::OrbitDisplayChoiceQuestion(OrbitDisplaySurveyQuestion question,
                                                       std::vector<std::string> choices, bool hasOpenChoice,
                                                       bool shuffleOptions, bool isMultipleChoice)
    : OrbitDisplaySurveyQuestion(std::move(question)),
      choices_(std::move(choices)),
      hasOpenChoice_(hasOpenChoice),
      shuffleOptions_(shuffleOptions),
      isMultipleChoice_(isMultipleChoice) {}

OrbitDisplaySurvey::OrbitDisplaySurvey(std::string id, std::string name,
                                       std::vector<std::shared_ptr<const OrbitDisplaySurveyQuestion>> questions,
                                       std::optional<OrbitDisplaySurveyAppearance> appearance,
                                       std::optional<OrbitDate> startDate, std::optional<OrbitDate> endDate)
    : id_(std::move(id)),
      name_(std::move(name)),
      questions_(std::move(questions)),
      appearance_(std::move(appearance)),
      startDate_(startDate),
      endDate_(endDate) {}

}  // namespace orbit
