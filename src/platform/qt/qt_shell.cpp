#include "platform/qt/qt_shell.h"

#include <xcb/xcb.h>

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstring>
#include <vector>

#include "platform/qt/event_sound.h"
#include "platform/qt/media_inhibitor.h"
#include "platform/qt/tray_click_decoder.h"
#include "platform/qt/tray_host_probe.h"
#include "platform/qt/tray_tip.h"

namespace bm::platform {
namespace {

bool IsTrayIconWindow(const QObject* watched) {
    return watched->isWidgetType() &&
           std::strcmp(watched->metaObject()->className(), "QSystemTrayIconSys") == 0;
}

// Qt's XEmbed icon tells nobody that the pointer rests on it; its tooltip event is the one
// sign, and the program wants a mouse move then to bring the tip up to date before it shows.
// It also reports a click at the press, while the program acts on the release: the release
// comes from here.
class TrayEventFilter : public QObject {
  public:
    TrayEventFilter(std::function<void()> hovered, std::function<void(Qt::MouseButton)> released)
        : hovered_(std::move(hovered)), released_(std::move(released)) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::ToolTip && IsTrayIconWindow(watched)) {
            hovered_();
        } else if (event->type() == QEvent::MouseButtonRelease && IsTrayIconWindow(watched)) {
            released_(static_cast<QMouseEvent*>(event)->button());
        }
        return false;
    }

  private:
    std::function<void()> hovered_;
    std::function<void(Qt::MouseButton)> released_;
};

}  // namespace

struct QtShell::Impl {
    explicit Impl(std::unique_ptr<TrayHostProbe> p)
        : probe(std::move(p)),
          hover([this] { Deliver({kWmMouseMove}); },
                [this](Qt::MouseButton button) { Released(button); }) {}

    // The icon as the program described it last; shown once a tray host is there.
    bool added = false;
    TrayWindow* window = nullptr;
    std::uint32_t id = 0;
    QIcon icon;
    QString tip;

    std::unique_ptr<TrayHostProbe> probe;
    bool watching = false;
    QSystemTrayIcon* tray = nullptr;
    int generation = 0;  // a new icon for each add, so messages for a deleted one stop
    TrayClickDecoder decoder;
    TrayEventFilter hover;
    int pendingRelease = 0;  // left or right button-up held until the button comes up
    const TrayWindow* menuWindow = nullptr;
    QPointer<QMenu> menuSource;       // the window's menu
    std::unique_ptr<QMenu> exported;  // the window's menu as the host draws it
    QAction* tipItem = nullptr;       // the tip in the exported menu, where no tooltip shows
    bool exportedOpen = false;
    EventSound sound;
    MediaInhibitor inhibitor;

    // An ampersand in a label would be read as the mark of an accelerator.
    static QString Label(QString text) {
        return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    }

    void Take(const NOTIFYICONDATA& data) {
        window = data.hWnd;
        id = data.uID;
        if ((data.uFlags & NIF_ICON) != 0 && data.hIcon != nullptr) {
            icon = *static_cast<const QIcon*>(data.hIcon);
        }
        if ((data.uFlags & NIF_TIP) != 0) {
            tip = TipForQt(data);
            if (tipItem != nullptr) {
                tipItem->setText(Label(tip));
            }
        }
    }

    void Show() {
        if (tray != nullptr) {
            tray->setIcon(IconOrDefault());
            tray->setToolTip(tip);
            return;
        }
        if (!watching) {
            if (!probe) {
                probe = MakeDesktopTrayHostProbe();
            }
            probe->Watch([this] { HostMayBeThere(); }, [this] { HostRestarted(); });
            watching = true;
        }
        // Making the icon before the host is up would fix Qt on the wrong kind of tray.
        if (!probe->Present()) {
            probe->SetWaiting(true);
            return;
        }
        probe->SetWaiting(false);
        tray = new QSystemTrayIcon(IconOrDefault());
        tray->setToolTip(tip);
        ExportMenu();
        // Queued: the handlers may run a popup menu's loop and delete this icon, whose
        // window is still inside its own mouse handler when Qt emits the activation.
        QObject::connect(
            tray, &QSystemTrayIcon::activated, tray,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // GNOME Shell's extension keeps the left click for its menu and sends a double
                // click as one Activate, which toggles the trays as a click does; the middle
                // click is left for what a double click does elsewhere.
                std::vector<int> messages =
                    reason == QSystemTrayIcon::MiddleClick && probe->GnomeShellHost()
                        ? std::vector<int>{kWmLButtonDblClk, kWmLButtonUp}
                        : decoder.Messages(reason);
                // A host that asks for the menu while it shows the exported one: never two.
                if (exportedOpen && !messages.empty() && messages.back() == kWmRButtonUp) {
                    messages.pop_back();
                }
                Deliver(messages);
            },
            Qt::QueuedConnection);
        qApp->installEventFilter(&hover);
        tray->show();
        FlushDisplay();
    }

    // Qt sends an XEmbed icon's dock request with the next pass of the event loop; the rest of
    // the start-up runs first. Sent now, the host embeds the icon while that runs.
    static void FlushDisplay() {
        auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        if (x11 != nullptr && x11->connection() != nullptr) {
            xcb_flush(x11->connection());
        }
    }

    // Before the icon is shown, so the host finds the menu when the item registers. A menu of
    // its own with the window's actions: same items, same handlers, and gone with the icon.
    void ExportMenu() {
        QMenu* source = menuWindow == window ? menuSource.data() : nullptr;
        if (source == nullptr) {
            return;
        }
        auto menu = std::make_unique<QMenu>();
        if (probe->GnomeShellHost()) {
            tipItem = menu->addAction(Label(tip));
            tipItem->setEnabled(false);
            menu->addSeparator();
        }
        menu->addActions(source->actions());
        menu->setDefaultAction(source->defaultAction());
        tray->setContextMenu(menu.get());
        // Qt gives the menu a platform (dbusmenu) menu only when the icon is a
        // StatusNotifierItem. An XEmbed icon would pop the menu up itself at the press,
        // beside the window's own at the release.
        if (menu->platformMenu() == nullptr) {
            tray->setContextMenu(nullptr);
            tipItem = nullptr;
            return;
        }
        QObject::connect(menu.get(), &QMenu::aboutToShow, menu.get(),
                         [this] { exportedOpen = true; });
        QObject::connect(menu.get(), &QMenu::aboutToHide, menu.get(),
                         [this] { exportedOpen = false; });
        exported = std::move(menu);
    }

    void Remove() {
        added = false;
        ++generation;
        pendingRelease = 0;
        if (probe) {
            probe->SetWaiting(false);
        }
        if (tray != nullptr) {
            qApp->removeEventFilter(&hover);
            tray->hide();
            // It may be the sender of the activation that brought us here.
            tray->disconnect();
            tray->deleteLater();
            tray = nullptr;
        }
        exportedOpen = false;
        tipItem = nullptr;
        if (exported) {
            // After the icon, which still refers to its platform menu.
            exported->disconnect();
            exported.release()->deleteLater();
        }
    }

    void HostMayBeThere() {
        if (added && tray == nullptr) {
            Show();
        }
    }

    void HostRestarted() {
        if (tray != nullptr) {
            tray->hide();
            tray->show();
        }
    }

    QIcon IconOrDefault() const { return icon.isNull() ? QApplication::windowIcon() : icon; }

    void Released(Qt::MouseButton button) {
        const int message = pendingRelease;
        if ((message == kWmLButtonUp && button == Qt::LeftButton) ||
            (message == kWmRButtonUp && button == Qt::RightButton)) {
            pendingRelease = 0;
            // Out of the icon window's own event handling, as for the activations.
            const int current = generation;
            QTimer::singleShot(0, qApp, [this, message, current] {
                if (generation == current) {
                    Deliver({message});
                }
            });
        }
    }

    void Deliver(const std::vector<int>& messages) {
        const int current = generation;
        for (const int message : messages) {
            const Qt::MouseButtons down = QGuiApplication::mouseButtons();
            if ((message == kWmLButtonUp && (down & Qt::LeftButton) != 0) ||
                (message == kWmRButtonUp && (down & Qt::RightButton) != 0)) {
                pendingRelease = message;  // the button is still down: wait for the release
                return;
            }
            // A handler of the first message may have deleted the icon and its window.
            if (!added || generation != current || window == nullptr) {
                return;
            }
            window->TrayMessage(message);
        }
    }
};

QtShell::QtShell() : QtShell(nullptr) {}

QtShell::QtShell(std::unique_ptr<TrayHostProbe> probe)
    : impl_(std::make_unique<Impl>(std::move(probe))) {}

QtShell::~QtShell() {
    if (impl_->tray != nullptr) {
        qApp->removeEventFilter(&impl_->hover);
        delete impl_->tray;
    }
    impl_->exported.reset();
}

bool QtShell::NotifyIcon(int message, const NOTIFYICONDATA& data) {
    Impl& d = *impl_;
    switch (message) {
        case NIM_ADD:
            if (d.added) {
                return false;
            }
            d.added = true;
            ++d.generation;
            d.Take(data);
            d.Show();
            return true;
        case NIM_MODIFY:
            if (!d.added || data.hWnd != d.window || data.uID != d.id) {
                return false;
            }
            d.Take(data);
            d.Show();
            return true;
        case NIM_DELETE:
            if (!d.added || data.hWnd != d.window || data.uID != d.id) {
                return false;
            }
            d.Remove();
            return true;
        default:
            return false;
    }
}

void QtShell::Beep(int type) {
    impl_->sound.Play(type);
}

void QtShell::SetTrayMenu(const TrayWindow* window, void* menu) {
    impl_->menuWindow = window;
    impl_->menuSource = static_cast<QMenu*>(menu);
}

void QtShell::SessionEndMedia(const std::vector<std::string>& media) {
    impl_->inhibitor.Name(media);
}

const QSystemTrayIcon* QtShell::TrayIcon() const {
    return impl_->tray;
}

const QMenu* QtShell::ExportedMenu() const {
    return impl_->exported.get();
}

}  // namespace bm::platform
