#pragma once
// The advanced properties dialog: the options of the run.
#include <QLabel>
#include <QPushButton>
#include <cstdint>

#include "platform/qt/form.h"

namespace bm {

class frmPropertiesAdvanced : public forms::Form {
  public:
    static constexpr const char* kName = "frmPropertiesAdvanced";
    frmPropertiesAdvanced();
    void Form_Load() override;
    void Form_Unload(std::int16_t& Cancel) override;
    void cmdOK_Click();

    QLabel* lblPlaceholder;
    QPushButton* cmdOK;
};

}  // namespace bm
