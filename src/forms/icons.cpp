#include "forms/icons.h"

#include <QIconEngine>
#include <QImageReader>
#include <QPainter>
#include <QString>
#include <initializer_list>
#include <memory>

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

// Decodes its pictures at the first paint or size asked, not when a window takes the icon: the
// tray icon and the windows get it before the icon is up, but draw it only later.
class DeferredIconEngine : public QIconEngine {
  public:
    explicit DeferredIconEngine(std::function<QIcon()> make)
        : state_(std::make_shared<Deferred>(Deferred{std::move(make), {}})) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        Icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return Icon().actualSize(size, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return Icon().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        return Icon().pixmap(size, scale, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return Icon().availableSizes(mode, state);
    }
    QString key() const override { return QStringLiteral("bm-deferred"); }
    QIconEngine* clone() const override { return new DeferredIconEngine(*this); }

  private:
    struct Deferred {
        std::function<QIcon()> make;
        QIcon icon;
    };
    const QIcon& Icon() {
        if (state_->make) {
            state_->icon = state_->make();
            state_->make = nullptr;
        }
        return state_->icon;
    }
    std::shared_ptr<Deferred> state_;  // shared by the copies Qt makes of the icon
};

}  // namespace

QIcon ProgramIcon() {
    static const QIcon icon(new DeferredIconEngine([] {
        return Bundled(QStringLiteral("program"), {16, 22, 32, 48});
    }));
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
