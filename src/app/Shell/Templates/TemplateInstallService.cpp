#include "Shell/Templates/TemplateInstallService.h"

#include "Shell/DeepLinks/LinkText.h"
#include "Snippets/SnippetValidation.h"
#include "posix/LogText.h"
#include "platform/Uuid.h"

namespace sablix {
namespace {

const char* const kNoTitleMessage = "Template not installed: no title for '%s' that the editor accepts";

bool isIdentifierCharacter(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }

}  // namespace

TemplateInstallService::TemplateInstallService(SnippetController& snippetController,
                                               const SnippetSettings& snippetSettings, platform::Defaults& userDefaults,
                                               APIClient& client, const platform::Clock& clock,
                                               std::function<void()> refreshSnippetCache, AppNotifier& notifier,
                                               AnalyticsTracking& analytics, std::chrono::milliseconds requestTimeout)
    : snippetController_(snippetController),
      snippetSettings_(snippetSettings),
      userDefaults_(userDefaults),
      client_(client),
      clock_(clock),
      refreshSnippetCache_(std::move(refreshSnippetCache)),
      notifier_(notifier),
      analytics_(analytics),
      requestTimeout_(requestTimeout),
      requests_(client) {}

QCoro::Task<> TemplateInstallService::checkPendingInstall() {
    if (userDefaults_.boolean(kHasCheckedPendingInstallKey)) co_return;
    // Remembered before asking, so that the match is tried once whatever becomes of it.
    userDefaults_.set(kHasCheckedPendingInstallKey, true);

    const auto match = co_await requests_.send(
        APIEndpoint::pendingInstallMatch(), APIRequest("GET", std::nullopt, std::nullopt, requestTimeout_),
        AcceptedStatus::exactly(200), [](const APIResponse& response) {
            return PendingInstallMatch::fromJson(nlohmann::json::parse(response.body));
        });
    if (!match || !match.value().templateId) co_return;
    const std::optional<std::string>& templateId = match.value().templateId;

    // The backend's answer is trusted as it stands; only links are checked against the pattern.
    const std::string_view prefix = kPackPrefix;
    if (templateId->starts_with(prefix))
        co_await installPack(templateId->substr(prefix.size()), kSourceDeferredDeepLink);
    else
        co_await installTemplate(*templateId, kSourceDeferredDeepLink);
}

QCoro::Task<TemplateInstallService::InstallOutcome> TemplateInstallService::installTemplate(std::string slug,
                                                                                            std::string source) {
    auto payload = co_await fetch<TemplateInstallPayload>(kTemplatePath + slug);
    if (!payload) co_return InstallOutcome::failed();
    co_return install(*payload, source);
}

QCoro::Task<int> TemplateInstallService::installPack(std::string category, std::string source) {
    auto pack = co_await fetch<TemplatePackPayload>(kPackPath + category);
    if (!pack) co_return 0;
    int installed = 0;
    // One at a time: each template's title is chosen beside the ones installed before it.
    for (const auto& payload : pack->templates)
        if (install(payload, source).isInstalled()) ++installed;
    co_return installed;
}

TemplateInstallService::InstallOutcome TemplateInstallService::install(const TemplateInstallPayload& payload,
                                                                       const std::string& source) {
    std::vector<SnippetItem> library = snippetController_.loadItems();
    SnippetItem item(platform::Uuid::generate(), payload.trigger, payload.content, {kTemplateTag}, clock_);
    std::optional<std::string> title = firstAcceptedTitle(item, library, snippetSettings_);
    if (!title) {
        platform::appLog("TemplateInstall").error(kNoTitleMessage, posix::escapedForLog(payload.trigger).c_str());
        return InstallOutcome::failed();
    }
    item.snippetTitle = *title;
    if (snippetController_.addItemWithValidation(item, library).kind() !=
        SnippetController::AddItemResult::Case::success)
        return InstallOutcome::failed();

    if (refreshSnippetCache_) refreshSnippetCache_();
    notifier_.postSnippetsChangedExternally();
    analytics_.track(AnalyticsEvent::snippetImported, {{"template_id", payload.slug}, {"source", source}});
    return InstallOutcome::installed(std::move(*title));
}

QCoro::Task<> TemplateInstallService::installFromLink(QUrl url) {
    if (auto slug = installSlug(url)) {
        co_await installTemplate(std::move(*slug), kSourceDeepLink);
    } else if (auto category = packCategory(url)) {
        co_await installPack(std::move(*category), kSourceDeepLink);
    } else {
        platform::appLog("TemplateInstall").error("Install link ignored: no valid slug or category");
    }
}

std::optional<std::string> TemplateInstallService::installSlug(const QUrl& url) {
    return validated(lastPathComponent(url, kInstallHost));
}

std::optional<std::string> TemplateInstallService::packCategory(const QUrl& url) {
    return validated(lastPathComponent(url, kInstallPackHost));
}

std::optional<std::string> TemplateInstallService::lastPathComponent(const QUrl& url, const char* host) {
    if (url.host() != QLatin1String(host)) return std::nullopt;
    return LinkText::lastPathComponent(url);
}

std::optional<std::string> TemplateInstallService::validated(std::optional<std::string> id) {
    if (!id || id->empty() || id->size() > kMaxIdentifierLength) return std::nullopt;
    for (char c : *id)
        if (!isIdentifierCharacter(c)) return std::nullopt;
    return id;
}

template <class T>
QCoro::Task<std::optional<T>> TemplateInstallService::fetch(std::string path) {
    const QUrl url(QString::fromStdString(client_.environment().websiteBaseURL() + path), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) co_return std::nullopt;

    auto payload =
        co_await requests_.send(url, APIRequest("GET", std::nullopt, std::nullopt, requestTimeout_),
                                AcceptedStatus::exactly(200), [](const APIResponse& response) -> std::optional<T> {
                                    const auto body = nlohmann::json::parse(response.body);
                                    if (body.is_null()) return std::nullopt;
                                    return T::fromJson(body);
                                });
    if (!payload) co_return std::nullopt;
    co_return std::move(payload).value();
}

}  // namespace sablix
