#pragma once
#include <optional>
#include <string>
#include <vector>

namespace orbit {

enum class OrbitSurveyResponseType { link = 0, rating = 1, openEnded = 2, singleChoice = 3, multipleChoice = 4 };
std::optional<OrbitSurveyResponseType> orbitSurveyResponseType(int rawValue);

// The answer to one question. Made only through its constructors, each of which sets the fields
// of its kind and leaves the others absent.
class OrbitSurveyResponse {
public:
    static OrbitSurveyResponse link(bool linkClicked);
    static OrbitSurveyResponse rating(std::optional<int> ratingValue);
    static OrbitSurveyResponse openEnded(std::optional<std::string> textValue);
    static OrbitSurveyResponse singleChoice(std::optional<std::string> selectedOption);
    static OrbitSurveyResponse multipleChoice(std::optional<std::vector<std::string>> selectedOptions);

    OrbitSurveyResponseType type() const { return type_; }
    std::optional<bool> linkClicked() const { return linkClicked_; }
    std::optional<int> ratingValue() const { return ratingValue_; }
    const std::optional<std::string>& textValue() const { return textValue_; }
    const std::optional<std::vector<std::string>>& selectedOptions() const { return selectedOptions_; }

private:
    explicit OrbitSurveyResponse(OrbitSurveyResponseType type) : type_(type) {}

    OrbitSurveyResponseType type_;
    std::optional<bool> linkClicked_;
    std::optional<int> ratingValue_;
    std::optional<std::string> textValue_;
    std::optional<std::vector<std::string>> selectedOptions_;
};

// Which question a survey shows next.
struct OrbitNextSurveyQuestion {
    int questionIndex = 0;
    bool isSurveyCompleted = false;
};

}  // namespace orbit
