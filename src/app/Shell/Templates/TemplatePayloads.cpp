#include "Shell/Templates/TemplatePayloads.h"

#include "Shared/JsonCoding.h"

namespace sablix {

using nlohmann::json;

json PendingInstallMatch::toJson() const { return {{"template_id", templateId ? json(*templateId) : json(nullptr)}}; }

PendingInstallMatch PendingInstallMatch::fromJson(const json& value) {
    jsonCoding::requireObject(value, "pending install match");
    return {jsonCoding::optionalString(value, "template_id")};
}

json TemplateInstallPayload::toJson() const {
    return {{"slug", slug}, {"title", title}, {"trigger", trigger}, {"content", content}};
}

TemplateInstallPayload TemplateInstallPayload::fromJson(const json& value) {
    jsonCoding::requireObject(value, "template");
    return {jsonCoding::requiredString(value, "slug"), jsonCoding::requiredString(value, "title"),
            jsonCoding::requiredString(value, "trigger"), jsonCoding::requiredString(value, "content")};
}

json TemplatePackPayload::toJson() const {
    auto list = json::array();
    for (const auto& item : templates) list.push_back(item.toJson());
    return {{"category", category}, {"templates", std::move(list)}};
}

TemplatePackPayload TemplatePackPayload::fromJson(const json& value) {
    jsonCoding::requireObject(value, "template pack");
    TemplatePackPayload pack{jsonCoding::requiredString(value, "category"), {}};
    auto list = value.find("templates");
    if (list == value.end() || !list->is_array()) throw SnippetCodingError("\"templates\": missing or not an array");
    for (const auto& item : *list) pack.templates.push_back(TemplateInstallPayload::fromJson(item));
    return pack;
}

}  // namespace sablix
