#pragma once
// Media notices on the Qt event loop: the feed's descriptor on a socket notifier, so nothing
// runs until the machine has something to say.
#include <memory>

#include "platform/media_notices.h"

namespace bm::platform {

class QtMediaNotices : public MediaNotices {
  public:
    // feed may be null or without a descriptor: then no notice ever comes.
    explicit QtMediaNotices(std::unique_ptr<ChangeFeed> feed);
    ~QtMediaNotices() override;
    QtMediaNotices(const QtMediaNotices&) = delete;
    QtMediaNotices& operator=(const QtMediaNotices&) = delete;

    void Watch(std::function<void()> changed) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bm::platform
