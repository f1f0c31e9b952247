#include "platform/qt/qt_media_notices.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

Q_LOGGING_CATEGORY(lcNotices, "bayminder.notices", QtInfoMsg)

namespace bm::platform {

struct QtMediaNotices::Impl {
    std::unique_ptr<ChangeFeed> feed;
    std::unique_ptr<QSocketNotifier> notifier;
    std::function<void()> changed;

    void Read() {
        // Read even when nobody listens, or the descriptor would stay readable and spin.
        if (!feed->Drain()) {
            return;
        }
        qCDebug(lcNotices, "media may have changed");
        // The handler may stop the notices, and with them this function.
        const std::function<void()> handler = changed;
        if (handler) {
            handler();
        }
    }
};

QtMediaNotices::QtMediaNotices(std::unique_ptr<ChangeFeed> feed) : impl_(std::make_unique<Impl>()) {
    impl_->feed = std::move(feed);
    if (!impl_->feed || impl_->feed->Descriptor() < 0) {
        qCDebug(lcNotices, "no media notices: the tooltip follows the pointer only");
        return;
    }
    impl_->notifier =
        std::make_unique<QSocketNotifier>(impl_->feed->Descriptor(), QSocketNotifier::Read);
    QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, impl_->notifier.get(),
                     [this] { impl_->Read(); });
}

QtMediaNotices::~QtMediaNotices() = default;

void QtMediaNotices::Watch(std::function<void()> changed) {
    impl_->changed = std::move(changed);
}

}  // namespace bm::platform
