#include "Shell/Templates/TemplatePayloads.h"

#include "Snippets/SnippetCoding.h"

namespace sablix {

using nlohmann::json;

json PendingInstallMatch::toJson() const { return {{"template_id", templateId ? json(*templateId) : json(nullptr)}}; }

PendingInstallMatch PendingInstallMatch::fromJson(const json& value) {
    snippetCoding::requireObject(value, "pending install match");
    return {snippetCoding::optionalString(value, "template_id")};
}

json TemplateInstallPayload::toJson() const {
    return {{"slug", slug}, {"title", title}, {"trigger", trigger}, {"content", content}};
}

TemplateInstallPayload TemplateInstallPayload::fromJson(const json& value) {
    snippetCoding::requireObject(value, "template");
    return {snippetCoding::requiredString(value, "slug"), snippetCoding::requiredString(value, "title"),
            snippetCoding::requiredString(value, "trigger"), snippetCoding::requiredString(value, "content")};
}

json TemplatePackPayload::toJson() const {
    auto list = json::array();
    for (const auto& item : templates) list.push_back(item.toJson());
    return {{"category", category}, {"templates", std::move(list)}};
}

TemplatePackPayload TemplatePackPayload::fromJson(const json& value) {
    snippetCoding::requireObject(value, "template pack");
    TemplatePackPayload pack{snippetCoding::requiredString(value, "category"), {}};
    auto list = value.find("templates");
    if (list == value.end() || !list->is_array()) throw SnippetCodingError("\"templates\": missing or not an array");
    for (const auto& item : *list) pack.templates.push_back(TemplateInstallPayload::fromJson(item));
    return pack;
}

}  // namespace sablix
