#pragma once
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QUrl>
#include <QCoro/QCoroTask>

#include "Snippets/SnippetController.h"
#include "Analytics/AnalyticsTracking.h"
#include "Shell/AppNotifier.h"
#include "Shell/DeepLinks/TemplateLinkInstalling.h"
#include "Networking/APIClient.h"
#include "Networking/RequestStep.h"
#include "Shell/Templates/TemplatePayloads.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"

namespace sablix {

class SnippetSettings;

// Installs templates from the web site's gallery into the personal library: one by its slug, or
// a pack by its category, from install links and from the once-per-installation deferred match.
// No failure reaches the user; callers may ignore the results. Runs on the main thread.
class TemplateInstallService final : public TemplateLinkInstalling {
public:
    static constexpr const char* kHasCheckedPendingInstallKey = "has_checked_pending_install";
    static constexpr const char* kPackPrefix = "pack:";
    static constexpr const char* kTemplatePath = "/api/templates/";
    static constexpr const char* kPackPath = "/api/templates/packs/";
    static constexpr const char* kInstallHost = "install";
    static constexpr const char* kInstallPackHost = "install-pack";
    static constexpr const char* kTemplateTag = "prompt";
    static constexpr const char* kSourceDeepLink = "deep_link";
    static constexpr const char* kSourceDeferredDeepLink = "deferred_deep_link";
    static constexpr size_t kMaxIdentifierLength = 200;

    class InstallOutcome {
    public:
        InstallOutcome() = default;  // failed
        static InstallOutcome installed(std::string trigger) { return InstallOutcome(std::move(trigger)); }
        static InstallOutcome failed() { return InstallOutcome(std::nullopt); }

        bool isInstalled() const { return trigger_.has_value(); }
        // The title the template was saved under; present exactly when it was installed.
        const std::optional<std::string>& trigger() const { return trigger_; }

        friend bool operator==(const InstallOutcome&, const InstallOutcome&) = default;

    private:
        explicit InstallOutcome(std::optional<std::string> trigger) : trigger_(std::move(trigger)) {}
        std::optional<std::string> trigger_;
    };

    // refreshSnippetCache makes the expansion engine pick up the library again. The client's
    // environment names both the backend and the web site; the clock dates installed snippets; the
    // snippet settings are the title rules the editor checks against.
    TemplateInstallService(SnippetController& snippetController, const SnippetSettings& snippetSettings,
                           platform::Defaults& userDefaults, APIClient& client, const platform::Clock& clock,
                           std::function<void()> refreshSnippetCache, AppNotifier& notifier,
                           AnalyticsTracking& analytics,
                           std::chrono::milliseconds requestTimeout = kDefaultRequestTimeout);

    // An install or install-pack link: installs what its last path component names, when that
    // is a valid slug or category; anything else installs nothing.
    QCoro::Task<> installFromLink(QUrl url) override;

    // Asks the backend, once per installation, whether a template or pack waits for this machine,
    // and installs it. The attempt is remembered before the request is made.
    QCoro::Task<> checkPendingInstall();
    QCoro::Task<InstallOutcome> installTemplate(std::string slug, std::string source);
    // How many of the pack's templates were installed.
    QCoro::Task<int> installPack(std::string category, std::string source);
    // Adds one fetched template to the library under the first title the editor accepts beside
    // it (firstAcceptedTitle); with none, installs nothing.
    InstallOutcome install(const TemplateInstallPayload& payload, const std::string& source);

    // The valid slug of an "install" link, or the category of an "install-pack" link.
    static std::optional<std::string> installSlug(const QUrl& url);
    static std::optional<std::string> packCategory(const QUrl& url);

private:
    // The gallery resource at path decoded as T; none for any failure or a JSON null.
    template <class T>
    QCoro::Task<std::optional<T>> fetch(std::string path);
    static std::optional<std::string> lastPathComponent(const QUrl& url, const char* host);
    static std::optional<std::string> validated(std::optional<std::string> id);

    SnippetController& snippetController_;
    const SnippetSettings& snippetSettings_;
    platform::Defaults& userDefaults_;
    APIClient& client_;
    const platform::Clock& clock_;
    std::function<void()> refreshSnippetCache_;
    AppNotifier& notifier_;
    AnalyticsTracking& analytics_;
    std::chrono::milliseconds requestTimeout_;
    RequestStep requests_;
};

}  // namespace sablix
