#pragma once
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sablix {

// The payloads of the template gallery and of the deferred-install match. Decoding is strict: a
// required key that is missing, null or of the wrong type throws SnippetCodingError; unknown keys
// are ignored.

// The backend's answer to "is a template waiting for this machine?".
struct PendingInstallMatch {
    std::optional<std::string> templateId;  // "template_id"; a pack is "pack:" + category

    nlohmann::json toJson() const;
    static PendingInstallMatch fromJson(const nlohmann::json& json);
};

// One gallery template.
struct TemplateInstallPayload {
    std::string slug;
    std::string title;  // carried, not installed
    std::string trigger;
    std::string content;

    nlohmann::json toJson() const;
    static TemplateInstallPayload fromJson(const nlohmann::json& json);
    friend bool operator==(const TemplateInstallPayload&, const TemplateInstallPayload&) = default;
};

// One gallery pack; its templates install in this order.
struct TemplatePackPayload {
    std::string category;
    std::vector<TemplateInstallPayload> templates;

    nlohmann::json toJson() const;
    static TemplatePackPayload fromJson(const nlohmann::json& json);
    friend bool operator==(const TemplatePackPayload&, const TemplatePackPayload&) = default;
};

}  // namespace sablix
