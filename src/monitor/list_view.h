#pragma once
// A list view whose items carry a key, large and small picture indexes and a ghosted state.
#include <QListWidget>
#include <cstdint>
#include <functional>
#include <string>

#include "forms/icons.h"

namespace bm {

class ListView : public QListWidget {
  public:
    enum class View { Icon, List };  // large pictures in rows, or small ones in a column

    explicit ListView(QWidget* parent = nullptr);
    // The pictures are copied; pass null for none. Items already in the list take the new ones.
    void SetImageLists(const forms::ImageList* large, const forms::ImageList* small);
    void SetView(View view);
    View CurrentView() const { return view_; }
    // Adds an item at the end; keys are any bytes, the character with code 0 among them. A key
    // that is taken already is replaced.
    QListWidgetItem* Add(const std::string& key, const std::string& text, int icon, int smallIcon);
    QListWidgetItem* Find(const std::string& key) const;
    static std::string Key(const QListWidgetItem* item);
    // Ghosted items show their picture dimmed.
    void SetGhosted(QListWidgetItem* item, bool ghosted);
    static bool Ghosted(const QListWidgetItem* item);
    void Remove(const std::string& key);
    int Count() const { return count(); }
    void Clear() { clear(); }

    // Asked before the user edits an item's text (F2); a nonzero Cancel keeps the text. Without
    // a handler no text is ever edited.
    std::function<void(std::int16_t& Cancel)> BeforeLabelEdit;

  protected:
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    // The view's own tooltip over the whole list, items included.
    bool viewportEvent(QEvent* event) override;

  private:
    void ShowPicture(QListWidgetItem* item) const;
    View view_ = View::Icon;
    forms::ImageList large_{32};
    forms::ImageList small_{16};
};

}  // namespace bm
