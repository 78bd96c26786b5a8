#pragma once
#include <QDateTime>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

#include "Snippets/SnippetItem.h"

namespace sablix {

// A snippet as the views see it: a copyable value with read-only properties over one SnippetItem.
// Views never change a snippet through it; they hand edited copies back to the models.
class SnippetValue {
    Q_GADGET
    Q_PROPERTY(bool isNull READ isNull CONSTANT)
    Q_PROPERTY(QString id READ id CONSTANT)
    Q_PROPERTY(QString snippetTitle READ snippetTitle CONSTANT)
    Q_PROPERTY(QString snippet READ snippet CONSTANT)
    Q_PROPERTY(QStringList tags READ tags CONSTANT)
    Q_PROPERTY(bool isTeam READ isTeam CONSTANT)
    Q_PROPERTY(QString snippetPreview READ snippetPreview CONSTANT)
    Q_PROPERTY(QDateTime createdAt READ createdAt CONSTANT)
    Q_PROPERTY(QDateTime updatedAt READ updatedAt CONSTANT)

public:
    SnippetValue() = default;  // no snippet
    explicit SnippetValue(SnippetItem item) : item_(std::move(item)) {}

    bool isNull() const { return !item_.has_value(); }
    const std::optional<SnippetItem>& item() const { return item_; }

    QString id() const { return item_ ? QString::fromStdString(item_->id.toString()) : QString(); }
    QString snippetTitle() const { return item_ ? QString::fromStdString(item_->snippetTitle) : QString(); }
    QString snippet() const { return item_ ? QString::fromStdString(item_->snippet) : QString(); }
    QStringList tags() const {
        QStringList list;
        if (item_)
            for (const auto& tag : item_->tags) list << QString::fromStdString(tag);
        return list;
    }
    bool isTeam() const { return item_ && item_->teamId.has_value(); }
    QString snippetPreview() const { return item_ ? QString::fromStdString(item_->snippetPreview()) : QString(); }
    QDateTime createdAt() const { return item_ ? toDateTime(item_->createdAt) : QDateTime(); }
    QDateTime updatedAt() const { return item_ ? toDateTime(item_->updatedAt) : QDateTime(); }

    friend bool operator==(const SnippetValue& a, const SnippetValue& b) { return a.item_ == b.item_; }

private:
    static QDateTime toDateTime(const platform::Date& date) {
        return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(date.unixSeconds() * 1000.0));
    }

    std::optional<SnippetItem> item_;
};

}  // namespace sablix

Q_DECLARE_METATYPE(sablix::SnippetValue)
