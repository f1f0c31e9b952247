#pragma once
// The advanced properties dialog: the options of the run, written as the user changes them.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <cstdint>

#include "forms/form.h"

class QEvent;

namespace bm {

class frmPropertiesAdvanced : public forms::Form {
  public:
    static constexpr const char* kName = "frmPropertiesAdvanced";
    frmPropertiesAdvanced();
    explicit frmPropertiesAdvanced(forms::Bare);

    void Form_Load() override;
    void Form_Unload(std::int16_t& Cancel) override;
    void chkBeep_Click();
    void optDriveType_Click();
    void optDriveLetter_Click();
    void optMediaType_Click();
    void optMediaLabel_Click();
    void sldWait_Change();
    void sldWait_Scroll();
    void cmdOkay_Click();
    void cmdCancel_Click();
    void UpdateToolTipSample();

    QGroupBox* Frame1{};
    QLabel* lblWait{};
    QSlider* sldWait{};
    QLabel* lblWaitTime{};
    QCheckBox* chkBeep{};
    QGroupBox* Frame3{};
    QGroupBox* Frame4{};
    QRadioButton* optMediaType{};
    QRadioButton* optMediaLabel{};
    QLabel* Label2{};
    QGroupBox* Frame2{};
    QRadioButton* optDriveType{};
    QRadioButton* optDriveLetter{};
    QLabel* lblToolTip{};
    QLabel* lblToolTipSample{};
    QPushButton* cmdOkay{};
    QPushButton* cmdCancel{};

  protected:
    void changeEvent(QEvent* event) override;

  private:
    void ApplyToolTipColours();
    // Set while Form_Load fills the controls, so that their signals leave the options alone.
    bool mLoading = false;
};

}  // namespace bm
