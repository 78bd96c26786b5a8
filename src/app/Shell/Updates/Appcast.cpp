#include "Shell/Updates/Appcast.h"

#include <QXmlStreamReader>

#include "Shell/Updates/VersionComparison.h"
#include "platform/Utf8.h"

namespace sablix {
namespace {

constexpr auto kShortVersionName = QLatin1String("sparkle:shortVersionString");

}  // namespace

std::optional<std::string> Appcast::firstShortVersion(std::string_view document) {
    if (!platform::utf8::isValid(document)) return std::nullopt;
    const size_t match = document.find(kShortVersionAttribute);
    if (match == std::string_view::npos) return std::nullopt;
    const size_t start = match + kShortVersionAttribute.size();
    const size_t end = document.find('"', start);
    if (end == std::string_view::npos) return std::nullopt;
    return std::string(document.substr(start, end - start));
}

std::optional<Appcast::Release> Appcast::newestRelease(std::string_view document) {
    QXmlStreamReader reader(QByteArray(document.data(), static_cast<qsizetype>(document.size())));
    // Prefixes are read as written: feeds in the wild do not always declare their namespace.
    reader.setNamespaceProcessing(false);

    std::optional<Release> newest;
    Release item;
    QString link;
    bool inItem = false;
    const auto finishItem = [&] {
        if (item.downloadURL.empty()) item.downloadURL = link.toStdString();
        if (!item.version.empty() && (!newest || isNewerVersion(item.version, newest->version))) newest = item;
    };
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            const auto name = reader.qualifiedName();
            if (name == QLatin1String("item")) {
                inItem = true;
                item = {};
                link.clear();
            } else if (inItem && name == QLatin1String("enclosure")) {
                const auto attributes = reader.attributes();
                if (attributes.hasAttribute(kShortVersionName))
                    item.version = attributes.value(kShortVersionName).toString().toStdString();
                item.downloadURL = attributes.value(QLatin1String("url")).toString().toStdString();
            } else if (inItem && name == kShortVersionName) {
                item.version = reader.readElementText().trimmed().toStdString();
            } else if (inItem && name == QLatin1String("link")) {
                link = reader.readElementText().trimmed();
            }
        } else if (reader.isEndElement() && reader.qualifiedName() == QLatin1String("item")) {
            inItem = false;
            finishItem();
        }
    }
    if (reader.hasError()) return std::nullopt;
    return newest;
}

}  // namespace sablix
