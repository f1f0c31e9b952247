#pragma once
// The notification at the end of the session: the drives that still hold media, a countdown.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <cstdint>

#include "forms/form.h"
#include "monitor/list_view.h"

namespace bm {

class frmMonitor : public forms::Form {
  public:
    static constexpr const char* kName = "frmMonitor";
    frmMonitor();
    explicit frmMonitor(forms::Bare);

    void Form_Load() override;
    void Form_QueryUnload(std::int16_t& Cancel, std::int16_t UnloadMode) override;
    void Form_Unload(std::int16_t& Cancel) override;
    void lvwDrive_ItemClick(QListWidgetItem* Item);
    void lvwDrive_BeforeLabelEdit(std::int16_t& Cancel);
    void tmrTick_Timer();
    void tmrUnload_Timer();
    void cmdOkay_Click();
    // Whether the user or the countdown has answered (the doors closed, the hide pending or done).
    bool Answered() const { return mAnswered; }
    // A countdown shorter than the wait time, in milliseconds: the time the session still gives.
    void FitCountdown(std::int32_t milliseconds);

    QLabel* Label2{};
    ListView* lvwDrive{};
    QLabel* lblTimeout{};
    QProgressBar* prgTimeout{};
    QPushButton* cmdOkay{};
    QLabel* Image1{};
    platform::Timer* tmrTick{};
    platform::Timer* tmrUnload{};

  protected:
    // The close box answers the notification as OK does.
    void closeEvent(QCloseEvent* event) override;

  private:
    bool mAnswered = false;
};

}  // namespace bm
