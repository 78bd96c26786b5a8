#pragma once
#include <QObject>

#include "MainWindow/SnippetValue.h"
#include "platform/Clock.h"

namespace sablix {

// What the detail pane shows: the selected snippet, and the editor's working copy with the flag
// that the editor is open. Lives on the main thread.
class RightPanelModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(sablix::SnippetValue selectedItem READ selectedItem NOTIFY selectedItemChanged)
    Q_PROPERTY(bool isEditingNewSnippet READ isEditingNewSnippet WRITE setIsEditingNewSnippet NOTIFY
                   isEditingNewSnippetChanged)
    Q_PROPERTY(
        sablix::SnippetValue editingSnippet READ editingSnippet WRITE setEditingSnippet NOTIFY editingSnippetChanged)

public:
    // The clock dates each blank snippet.
    explicit RightPanelModel(const platform::Clock& clock, QObject* parent = nullptr);

    SnippetValue selectedItem() const { return selectedItem_; }
    bool isEditingNewSnippet() const { return isEditingNewSnippet_; }
    void setIsEditingNewSnippet(bool editing);
    SnippetValue editingSnippet() const { return editingSnippet_; }
    void setEditingSnippet(const SnippetValue& snippet);

    // Shows the snippet (a null value: none). Showing a snippet closes the editor; showing none
    // leaves it as it is. Observers hear of every call, also with the snippet already shown.
    Q_INVOKABLE void updateSelectedItem(const sablix::SnippetValue& item);
    // Opens the editor on a new blank snippet; the selected snippet stays.
    Q_INVOKABLE void showNewSnippetView();

signals:
    void selectedItemChanged();
    void isEditingNewSnippetChanged();
    void editingSnippetChanged();

private:
    SnippetValue blankSnippet() const;

    const platform::Clock& clock_;
    SnippetValue selectedItem_;
    bool isEditingNewSnippet_ = false;
    SnippetValue editingSnippet_;
};

}  // namespace sablix
