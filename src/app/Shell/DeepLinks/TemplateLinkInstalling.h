#pragma once
#include <QCoro/QCoroTask>
#include <QUrl>

namespace sablix {

// Template installation as the link handler sees it: installs the template named by an "install"
// link or the pack named by an "install-pack" link, with the source "deep_link". A link whose
// last path component is not a valid slug or category installs nothing; failures stay silent.
class TemplateLinkInstalling {
public:
    virtual ~TemplateLinkInstalling() = default;
    virtual QCoro::Task<> installFromLink(QUrl url) = 0;
};

}  // namespace sablix
