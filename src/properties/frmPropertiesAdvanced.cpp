#include "properties/frmPropertiesAdvanced.h"

#include <QVBoxLayout>

#include "drives/modMain.h"
#include "platform/qt/icons.h"

namespace bm {

frmPropertiesAdvanced::frmPropertiesAdvanced()
    : Form(kName, Qt::Dialog),
      lblPlaceholder(new QLabel(QStringLiteral("The options of this run."), this)),
      cmdOK(new QPushButton(QStringLiteral("OK"), this)) {
    setWindowTitle(QStringLiteral("Bayminder Advanced Properties"));
    setWindowIcon(platform::ProgramIcon());
    lblPlaceholder->setObjectName(QStringLiteral("lblPlaceholder"));
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblPlaceholder);
    layout->addWidget(cmdOK, 0, Qt::AlignRight);
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
}

void frmPropertiesAdvanced::Form_Load() {
    if (modMain::gPreloading != vbFalse) {
        return;
    }
    modMain::gAdvancedOpen = vbTrue;
}

void frmPropertiesAdvanced::Form_Unload(std::int16_t& /*Cancel*/) {
    modMain::gAdvancedOpen = vbFalse;
}

void frmPropertiesAdvanced::cmdOK_Click() {
    Hide();
    forms::FormRegistry::Unload(*this);
}

}  // namespace bm
