#include "monitor/list_view.h"

#include <QHelpEvent>
#include <QToolTip>

namespace bm {
namespace {

enum Role : int {
    kKeyRole = Qt::UserRole,
    kIconRole,
    kSmallIconRole,
    kGhostedRole,
};

QByteArray Bytes(const std::string& key) {
    return {key.data(), static_cast<qsizetype>(key.size())};
}

}  // namespace

ListView::ListView(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setMovement(QListView::Static);
    setResizeMode(QListView::Adjust);
    setWordWrap(true);
    setEditTriggers(QAbstractItemView::EditKeyPressed);
    SetView(View::Icon);
}

void ListView::SetImageLists(const forms::ImageList* large, const forms::ImageList* small) {
    large_ = large != nullptr ? *large : forms::ImageList(32);
    small_ = small != nullptr ? *small : forms::ImageList(16);
    SetView(view_);
}

void ListView::SetView(View view) {
    view_ = view;
    const forms::ImageList& pictures = view == View::Icon ? large_ : small_;
    const int size = pictures.ImageSize();
    setIconSize(QSize(size, size));
    if (view == View::Icon) {
        setViewMode(QListView::IconMode);
        setFlow(QListView::LeftToRight);
        setWrapping(true);
        // Room for a label of two short lines under each picture.
        setGridSize(QSize(size * 3 + 8, size + fontMetrics().height() * 2 + 12));
    } else {
        setViewMode(QListView::ListMode);
        setFlow(QListView::TopToBottom);
        setWrapping(false);
        setGridSize(QSize());
    }
    // Setting the view mode resets these two.
    setMovement(QListView::Static);
    setResizeMode(QListView::Adjust);
    for (int i = 0; i < count(); ++i) {
        ShowPicture(item(i));
    }
}

QListWidgetItem* ListView::Add(const std::string& key, const std::string& text, int icon,
                               int smallIcon) {
    Remove(key);
    auto* entry = new QListWidgetItem(QString::fromStdString(text));
    entry->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
    entry->setData(kKeyRole, Bytes(key));
    entry->setData(kIconRole, icon);
    entry->setData(kSmallIconRole, smallIcon);
    entry->setData(kGhostedRole, false);
    addItem(entry);
    ShowPicture(entry);
    return entry;
}

QListWidgetItem* ListView::Find(const std::string& key) const {
    const QByteArray wanted = Bytes(key);
    for (int i = 0; i < count(); ++i) {
        if (item(i)->data(kKeyRole).toByteArray() == wanted) {
            return item(i);
        }
    }
    return nullptr;
}

std::string ListView::Key(const QListWidgetItem* item) {
    const QByteArray key = item->data(kKeyRole).toByteArray();
    return {key.constData(), static_cast<std::size_t>(key.size())};
}

void ListView::SetGhosted(QListWidgetItem* item, bool ghosted) {
    if (item == nullptr) {
        return;
    }
    item->setData(kGhostedRole, ghosted);
    ShowPicture(item);
}

bool ListView::Ghosted(const QListWidgetItem* item) {
    return item != nullptr && item->data(kGhostedRole).toBool();
}

void ListView::Remove(const std::string& key) {
    delete Find(key);
}

void ListView::ShowPicture(QListWidgetItem* item) const {
    const bool large = view_ == View::Icon;
    const forms::ImageList& pictures = large ? large_ : small_;
    const QIcon icon = pictures.Icon(item->data(large ? kIconRole : kSmallIconRole).toInt());
    if (icon.isNull() || !Ghosted(item)) {
        item->setIcon(icon);
        return;
    }
    const int size = pictures.ImageSize();
    item->setIcon(QIcon(icon.pixmap(QSize(size, size), QIcon::Disabled)));
}

bool ListView::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    // Only the user's edits are asked about; a program's own edit goes ahead.
    if (trigger != QAbstractItemView::AllEditTriggers && index.isValid() &&
        editTriggers().testFlag(trigger)) {
        std::int16_t cancel = BeforeLabelEdit ? 0 : 1;
        if (BeforeLabelEdit) {
            BeforeLabelEdit(cancel);
        }
        if (cancel != 0) {
            return false;
        }
    }
    return QListWidget::edit(index, trigger, event);
}

bool ListView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip && !toolTip().isEmpty()) {
        const QHelpEvent* help = static_cast<QHelpEvent*>(event);
        QToolTip::showText(help->globalPos(), toolTip(), viewport());
        return true;
    }
    return QListWidget::viewportEvent(event);
}

}  // namespace bm
