#pragma once
// The program's pictures: the desktop theme's where it has them, the bundled ones otherwise.
#include <QIcon>
#include <QPixmap>
#include <functional>
#include <vector>

namespace bm::forms {

// The program's own icon (the tray icon and the windows' icon), the bundled one: the same picture
// the package installs in the hicolor theme, without starting the theme loader before the icon
// is up.
QIcon ProgramIcon();
// The icon of drive type 1 (removable), 2 (floppy) or 3 (CD), from the theme names
// drive-removable-media, media-floppy and drive-optical; an empty icon for other types.
QIcon DriveIcon(int driveType);

// An image list: pictures of one size, counted from 1.
class ImageList {
  public:
    explicit ImageList(int size) : size_(size) {}
    int ImageSize() const { return size_; }
    void Add(const QIcon& icon) { icons_.push_back({icon, {}}); }
    // Made on first use: the first theme lookup costs more than the rest of the start-up.
    void Add(std::function<QIcon()> make) { icons_.push_back({{}, std::move(make)}); }
    int Count() const { return static_cast<int>(icons_.size()); }
    // Picture n (1-based) at the list's size; a null pixmap out of range.
    QPixmap Picture(int n) const;
    QIcon Icon(int n) const;

  private:
    struct Entry {
        mutable QIcon icon;
        mutable std::function<QIcon()> make;
    };
    int size_;
    std::vector<Entry> icons_;
};

}  // namespace bm::forms
