#pragma once
// The program's pictures: the desktop theme's where it has them, the bundled ones otherwise.
#include <QIcon>
#include <QPixmap>
#include <vector>

namespace bm::platform {

// The program's own icon (the tray icon and the windows' icon).
QIcon ProgramIcon();
// The icon of drive type 1 (removable), 2 (floppy) or 3 (CD), from the theme names
// drive-removable-media, media-floppy and drive-optical; an empty icon for other types.
QIcon DriveIcon(int driveType);

// An image list: pictures of one size, counted from 1.
class ImageList {
  public:
    explicit ImageList(int size) : size_(size) {}
    int ImageSize() const { return size_; }
    void Add(const QIcon& icon) { icons_.push_back(icon); }
    int Count() const { return static_cast<int>(icons_.size()); }
    // Picture n (1-based) at the list's size; a null pixmap out of range.
    QPixmap Picture(int n) const;
    QIcon Icon(int n) const;

  private:
    int size_;
    std::vector<QIcon> icons_;
};

}  // namespace bm::platform
