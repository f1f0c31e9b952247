#pragma once
// The drive properties dialog: one tab per drive, its five settings, and its live status.
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <cstdint>

#include "drives/modMain.h"
#include "forms/form.h"

namespace bm {

class frmProperties : public forms::Form {
  public:
    static constexpr const char* kName = "frmProperties";
    frmProperties();
    explicit frmProperties(forms::Bare);

    void Form_Load() override;
    void tabDrive_Click();
    void chkEject_Click() { UpdateEjectOptions(); }
    void chkNotify_Click() { UpdateEjectOptions(); }
    void chkMonitor_Click() { UpdateMonitorOptions(); }
    void cmdOkay_Click();
    void cmdCancel_Click();
    void cmdAdvanced_Click();
    void tmrStatus_Timer();
    void ShowDrive(std::int32_t TabNo);
    void StoreDrive(std::int32_t TabNo);
    void UpdateEjectOptions();
    void UpdateMonitorOptions();
    // Drives came or went while the dialog is up: their tabs follow, the edits stay.
    void TableChanged();

    QTabBar* tabDrive{};
    QGroupBox* fraDrive{};
    QLabel* imgDriveIcon{};
    QLabel* lblType{};
    QLineEdit* txtType{};
    QLabel* lblMediaStatus{};
    QLineEdit* txtMediaStatus{};
    QLabel* lblTrayStatus{};
    QLineEdit* txtTrayStatus{};
    QFrame* Frame1{};
    forms::CheckBox* chkMonitor{};
    QFrame* fraNotEmpty{};
    forms::CheckBox* chkEject{};
    forms::CheckBox* chkNotify{};
    QGroupBox* fraIcon{};
    forms::CheckBox* chkTrayToggle{};
    forms::CheckBox* chkStatusToolTip{};
    QPushButton* cmdOkay{};
    QPushButton* cmdCancel{};
    QPushButton* cmdAdvanced{};
    platform::Timer* tmrStatus{};
    std::int32_t CurrentTab = 0;

  private:
    // The drive of tab TabNo, or null when there is no such tab.
    static DriveRecord* DriveOfTab(std::int32_t TabNo);
    void FillTabs();
    bool mBuilding = false;
};

}  // namespace bm
