// The baseline of the benchmarks: one QSystemTrayIcon, nothing else, so that what the tray
// program costs beyond what Qt's tray icon costs anyway shows as a ratio.
#include <QApplication>
#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QPixmap picture(22, 22);
    picture.fill(QColor(0x30, 0x60, 0xa0));
    QSystemTrayIcon icon{QIcon(picture)};
    icon.show();
    return QApplication::exec();
}
