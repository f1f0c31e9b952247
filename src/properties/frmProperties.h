#pragma once
// The drive properties dialog.
#include <QLabel>
#include <QPushButton>

#include "platform/qt/form.h"

namespace bm {

class frmProperties : public forms::Form {
  public:
    static constexpr const char* kName = "frmProperties";
    frmProperties();
    void Form_Load() override;
    void cmdOK_Click();

    QLabel* lblPlaceholder;
    QPushButton* cmdOK;
};

}  // namespace bm
