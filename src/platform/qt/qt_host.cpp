#include "platform/qt/qt_host.h"

#include <QApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

// Every start and stop of a host timer, so that a benchmark can tell which ones run when idle.
Q_LOGGING_CATEGORY(lcTimer, "bayminder.timer", QtInfoMsg)

namespace bm::platform {
namespace {

class QtTimer : public Timer {
  public:
    QtTimer() : timer_(new QTimer) {
        timer_->setSingleShot(false);
        QObject::connect(timer_, &QTimer::timeout, timer_, [this] { Fire(); });
    }

    ~QtTimer() override {
        if (timer_->isActive()) {
            qCDebug(lcTimer, "stop %d", id_);
        }
        timer_->stop();
        timer_->disconnect();
        // Inside its own handler the QTimer is still emitting: let the event loop delete it.
        if (firing_ > 0) {
            timer_->deleteLater();
        } else {
            delete timer_;
        }
    }

    QtTimer(const QtTimer&) = delete;
    QtTimer& operator=(const QtTimer&) = delete;

    void SetInterval(int milliseconds) override {
        interval_ = milliseconds;
        Apply();
    }
    int Interval() const override { return interval_; }

    void SetEnabled(bool enabled) override {
        if (enabled == enabled_) {
            return;  // enabling a running timer keeps its current interval going
        }
        enabled_ = enabled;
        Apply();
    }
    bool Enabled() const override { return enabled_; }

    void SetHandler(std::function<void()> handler) override {
        handler_ = std::make_shared<std::function<void()>>(std::move(handler));
    }

  private:
    // (Re)starts a fresh interval when the timer should run, stops it otherwise.
    void Apply() {
        if (enabled_ && interval_ > 0) {
            timer_->start(interval_);
            qCDebug(lcTimer, "start %d %d", id_, interval_);
        } else if (timer_->isActive()) {
            timer_->stop();
            qCDebug(lcTimer, "stop %d", id_);
        }
    }

    void Fire() {
        // The handler may destroy this timer (and replace or drop handler_): keep the function
        // alive for the call, and touch nothing of this object once it is gone.
        const std::shared_ptr<std::function<void()>> handler = handler_;
        if (!handler || !*handler) {
            return;
        }
        const std::weak_ptr<int> alive = alive_;
        ++firing_;
        (*handler)();
        if (!alive.expired()) {
            --firing_;
        }
    }

    static inline int lastId_ = 0;
    const int id_ = ++lastId_;
    QTimer* timer_;
    int interval_ = 0;
    bool enabled_ = false;
    int firing_ = 0;
    std::shared_ptr<std::function<void()>> handler_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

QMessageBox::Icon IconFor(int style) {
    switch (style & 0x70) {
        case kVbCritical:
            return QMessageBox::Critical;
        case kVbQuestion:
            return QMessageBox::Question;
        case kVbExclamation:
            return QMessageBox::Warning;
        case kVbInformation:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

QString PromptText(const std::string& prompt) {
    QString text = QString::fromStdString(prompt);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

}  // namespace

std::unique_ptr<Timer> QtHost::CreateTimer() {
    return std::make_unique<QtTimer>();
}

void QtHost::DoEvents() {
    QCoreApplication::processEvents();
}

int QtHost::MsgBox(const std::string& prompt, int style, const std::string& title) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "%s: %s\n", title.c_str(), prompt.c_str());
        return 1;
    }
    QMessageBox box;
    box.setObjectName(QStringLiteral("msgbox"));
    box.setWindowTitle(QString::fromStdString(title));
    // Plain text: a prompt that happens to look like markup is shown as written.
    box.setTextFormat(Qt::PlainText);
    box.setText(PromptText(prompt));
    box.setIcon(IconFor(style));
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    if ((style & kVbSystemModal) != 0) {
        box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    }
    box.exec();
    return 1;
}

std::string QtHost::AppPath() {
    if (QCoreApplication::instance() != nullptr) {
        return QCoreApplication::applicationDirPath().toStdString();
    }
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : exe.parent_path().string();
}

void QtHost::WaitWhile(const std::function<bool()>& condition) {
    if (QCoreApplication::instance() == nullptr || !condition()) {
        return;
    }
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!condition()) {
            loop.quit();
        }
    });
    poll.start();
    loop.exec();
}

}  // namespace bm::platform
