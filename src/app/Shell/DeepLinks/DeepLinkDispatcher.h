#pragma once
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QObject>
#include <QUrl>
#include <QCoro/QCoroTask>

#include "Shell/DeepLinks/AuthManaging.h"
#include "Shell/DeepLinks/TeamManaging.h"
#include "Shell/DeepLinks/TemplateLinkInstalling.h"
#include "platform/Log.h"

namespace sablix {

// Hands each link of the "sablix" scheme to the part that answers it, chosen by the link's host
// alone, compared as written: "auth" (the sign-in callback), "invite" (a team invitation),
// "install" and "install-pack" (templates from the gallery). Links come from other programs, so
// anything unexpected is logged and dropped. Lives on the main thread; each link runs as its own
// task, started in the order given.
class DeepLinkDispatcher : public QObject {
    Q_OBJECT

public:
    static constexpr size_t kMaxLinkBytes = 4096;

    // bringToFront: raises the application; called after every install link, installed or not.
    DeepLinkDispatcher(AuthManaging& auth, TeamManaging& teams, TemplateLinkInstalling& templates,
                       std::function<void()> bringToFront, QObject* parent = nullptr);

    void open(const std::vector<std::string>& links);

private:
    void dispatch(std::string_view link);
    void handleInvitation(const QUrl& url);
    QCoro::Task<> acceptInvitation(std::string token);
    QCoro::Task<> handleTemplateInstall(QUrl url);

    AuthManaging& auth_;
    TeamManaging& teams_;
    TemplateLinkInstalling& templates_;
    std::function<void()> bringToFront_;
    platform::Log logger_ = platform::appLog("DeepLinks");
};

}  // namespace sablix
