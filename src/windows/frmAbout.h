#pragma once
// The About window: the name, the version and the copyright, and OK.
#include <QLabel>
#include <QPushButton>

#include "forms/form.h"

class QKeyEvent;

namespace bm {

class frmAbout : public forms::Form {
  public:
    static constexpr const char* kName = "frmAbout";
    frmAbout();

    void Form_Load() override;
    void cmdOkay_Click();

    QPushButton* cmdOkay;
    QLabel* lblBeta;
    QLabel* lblTitle1;
    QLabel* lblTitle2;
    QLabel* lblVersion;
    QLabel* lblCopyright;

  protected:
    // Enter answers OK, as Esc does.
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace bm
