#include "forms/icons.h"

#include <QImageReader>
#include <QString>
#include <initializer_list>

namespace bm::forms {
namespace {

QIcon Bundled(const QString& name, std::initializer_list<int> sizes) {
    QIcon icon;
    for (int size : sizes) {
        // PNG outright: left to guess, the reader loads every image format plugin first.
        QImageReader reader(QStringLiteral(":/icons/%1-%2.png").arg(name).arg(size), "png");
        reader.setAutoDetectImageFormat(false);
        icon.addPixmap(QPixmap::fromImage(reader.read()));
    }
    return icon;
}

}  // namespace

QIcon ProgramIcon() {
    static const QIcon icon = Bundled(QStringLiteral("program"), {16, 22, 32, 48});
    return icon;
}

QIcon DriveIcon(int driveType) {
    switch (driveType) {
        case 1:
            return QIcon::fromTheme(QStringLiteral("drive-removable-media"),
                                    Bundled(QStringLiteral("drive-removable"), {16, 32}));
        case 2:
            return QIcon::fromTheme(QStringLiteral("media-floppy"),
                                    Bundled(QStringLiteral("drive-floppy"), {16, 32}));
        case 3:
            return QIcon::fromTheme(QStringLiteral("drive-optical"),
                                    Bundled(QStringLiteral("drive-optical"), {16, 32}));
        default:
            return {};
    }
}

QIcon ImageList::Icon(int n) const {
    if (n < 1 || n > Count()) {
        return {};
    }
    const Entry& entry = icons_[static_cast<std::size_t>(n - 1)];
    if (entry.make) {
        entry.icon = entry.make();
        entry.make = nullptr;
    }
    return entry.icon;
}

QPixmap ImageList::Picture(int n) const {
    const QIcon icon = Icon(n);
    return icon.isNull() ? QPixmap() : icon.pixmap(size_, size_);
}

}  // namespace bm::forms
