#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orbit/Utils/Clock.h"

namespace orbit {

// The records through which a program could show a survey itself. Read-only once made; this
// program has no survey source, so nothing makes them.

enum class OrbitDisplaySurveyTextContentType { html = 0, text = 1 };
std::optional<OrbitDisplaySurveyTextContentType> orbitDisplaySurveyTextContentType(int rawValue);

enum class OrbitDisplaySurveyRatingType { number = 0, emoji = 1 };
std::optional<OrbitDisplaySurveyRatingType> orbitDisplaySurveyRatingType(int rawValue);

// What every kind of question has; the kinds below add their own fields.
class OrbitDisplaySurveyQuestion {
public:
    OrbitDisplaySurveyQuestion(std::string id, std::string question, std::optional<std::string> questionDescription,
                               OrbitDisplaySurveyTextContentType questionDescriptionContentType, bool isOptional,
                               std::optional<std::string> buttonText);
    virtual ~OrbitDisplaySurveyQuestion() = default;

    const std::string& id() const { return id_; }
    const std::string& question() const { return question_; }
    const std::optional<std::string>& questionDescription() const { return questionDescription_; }
    OrbitDisplaySurveyTextContentType questionDescriptionContentType() const { return questionDescriptionContentType_; }
    bool isOptional() const { return isOptional_; }
    const std::optional<std::string>& buttonText() const { return buttonText_; }

private:
    std::string id_;
    std::string question_;
    std::optional<std::string> questionDescription_;
    OrbitDisplaySurveyTextContentType questionDescriptionContentType_;
    bool isOptional_;
    std::optional<std::string> buttonText_;
};

class OrbitDisplayOpenQuestion final : public OrbitDisplaySurveyQuestion {
public:
    using OrbitDisplaySurveyQuestion::OrbitDisplaySurveyQuestion;
};

class OrbitDisplayLinkQuestion final : public OrbitDisplaySurveyQuestion {
public:
    OrbitDisplayLinkQuestion(OrbitDisplaySurveyQuestion question, std::optional<std::string> link)
        : OrbitDisplaySurveyQuestion(std::move(question)), link_(std::move(link)) {}

    const std::optional<std::string>& link() const { return link_; }

private:
    std::optional<std::string> link_;
};

class OrbitDisplayRatingQuestion final : public OrbitDisplaySurveyQuestion {
public:
    OrbitDisplayRatingQuestion(OrbitDisplaySurveyQuestion question, OrbitDisplaySurveyRatingType ratingType,
                               int scaleLowerBound, int scaleUpperBound, std::string lowerBoundLabel,
                               std::string upperBoundLabel);

    OrbitDisplaySurveyRatingType ratingType() const { return ratingType_; }
    int scaleLowerBound() const { return scaleLowerBound_; }
    int scaleUpperBound() const { return scaleUpperBound_; }
    const std::string& lowerBoundLabel() const { return lowerBoundLabel_; }
    const std::string& upperBoundLabel() const { return upperBoundLabel_; }

private:
    OrbitDisplaySurveyRatingType ratingType_;
    int scaleLowerBound_;
    int scaleUpperBound_;
    std::string lowerBoundLabel_;
    std::string upperBoundLabel_;
};

class OrbitDisplayChoiceQuestion final : public OrbitDisplaySurveyQuestion {
public:
    OrbitDisplayChoiceQuestion(OrbitDisplaySurveyQuestion question, std::vector<std::string> choices,
                               bool hasOpenChoice, bool shuffleOptions, bool isMultipleChoice);

    const std::vector<std::string>& choices() const { return choices_; }
    bool hasOpenChoice() const { return hasOpenChoice_; }
    bool shuffleOptions() const { return shuffleOptions_; }
    bool isMultipleChoice() const { return isMultipleChoice_; }

private:
    std::vector<std::string> choices_;
    bool hasOpenChoice_;
    bool shuffleOptions_;
    bool isMultipleChoice_;
};

// How a survey looks. Made from its values, read through `values()`.
class OrbitDisplaySurveyAppearance {
public:
    struct Values {
        std::optional<std::string> fontFamily;
        std::optional<std::string> backgroundColor;
        std::optional<std::string> borderColor;
        std::optional<std::string> submitButtonColor;
        std::optional<std::string> submitButtonText;
        std::optional<std::string> submitButtonTextColor;
        std::optional<std::string> textColor;
        std::optional<std::string> descriptionTextColor;
        std::optional<std::string> ratingButtonColor;
        std::optional<std::string> ratingButtonActiveColor;
        std::optional<std::string> inputBackground;
        std::optional<std::string> inputTextColor;
        std::optional<std::string> placeholder;
        std::optional<double> surveyPopupDelaySeconds;
        bool displayThankYouMessage = false;
        std::optional<std::string> thankYouMessageHeader;
        std::optional<std::string> thankYouMessageDescription;
        std::optional<OrbitDisplaySurveyTextContentType> thankYouMessageDescriptionContentType;
        std::optional<std::string> thankYouMessageCloseButtonText;
    };

    explicit OrbitDisplaySurveyAppearance(Values values) : values_(std::move(values)) {}

    const Values& values() const { return values_; }

private:
    Values values_;
};

class OrbitDisplaySurvey {
public:
    OrbitDisplaySurvey(std::string id, std::string name,
                       std::vector<std::shared_ptr<const OrbitDisplaySurveyQuestion>> questions,
                       std::optional<OrbitDisplaySurveyAppearance> appearance, std::optional<OrbitDate> startDate,
                       std::optional<OrbitDate> endDate);

    const std::string& id() const { return id_; }
    const std::string& name() const { return name_; }
    const std::vector<std::shared_ptr<const OrbitDisplaySurveyQuestion>>& questions() const { return questions_; }
    const std::optional<OrbitDisplaySurveyAppearance>& appearance() const { return appearance_; }
    const std::optional<OrbitDate>& startDate() const { return startDate_; }
    const std::optional<OrbitDate>& endDate() const { return endDate_; }

private:
    std::string id_;
    std::string name_;
    std::vector<std::shared_ptr<const OrbitDisplaySurveyQuestion>> questions_;
    std::optional<OrbitDisplaySurveyAppearance> appearance_;
    std::optional<OrbitDate> startDate_;
    std::optional<OrbitDate> endDate_;
};

}  // namespace orbit
