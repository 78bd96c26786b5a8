#pragma once
#include <QObject>

#include "platform/Defaults.h"

namespace sablix {

// The two user settings that govern snippet titles, kept in the defaults store. Values are
// assigned and observed on the main thread; every assignment is published.
class SnippetSettings : public QObject {
    Q_OBJECT
    Q_PROPERTY(int maxTitleLength READ maxTitleLength WRITE setMaxTitleLength NOTIFY maxTitleLengthChanged)
    Q_PROPERTY(bool autoRemoveWhitespace READ autoRemoveWhitespace WRITE setAutoRemoveWhitespace NOTIFY
                   autoRemoveWhitespaceChanged)

public:
    static constexpr int kMinTitleLength = 10;
    static constexpr int kMaxTitleLength = 40;
    static constexpr int kDefaultMaxTitleLength = 20;

    // Reads both values once; writes nothing until a value is assigned.
    explicit SnippetSettings(platform::Defaults& userDefaults, QObject* parent = nullptr);

    int maxTitleLength() const { return maxTitleLength_; }
    bool autoRemoveWhitespace() const { return autoRemoveWhitespace_; }

    void setMaxTitleLength(int value);
    void setAutoRemoveWhitespace(bool value);

signals:
    void maxTitleLengthChanged(int maxTitleLength);
    void autoRemoveWhitespaceChanged(bool autoRemoveWhitespace);

private:
    platform::Defaults& userDefaults_;
    int maxTitleLength_ = kDefaultMaxTitleLength;
    bool autoRemoveWhitespace_ = true;
};

}  // namespace sablix
