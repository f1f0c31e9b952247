#include "properties/frmProperties.h"

#include <QVBoxLayout>

#include "drives/modMain.h"
#include "platform/qt/icons.h"

namespace bm {

frmProperties::frmProperties()
    : Form(kName, Qt::Dialog),
      lblPlaceholder(new QLabel(this)),
      cmdOK(new QPushButton(QStringLiteral("OK"), this)) {
    setWindowTitle(QStringLiteral("Bayminder Properties"));
    setWindowIcon(platform::ProgramIcon());
    lblPlaceholder->setObjectName(QStringLiteral("lblPlaceholder"));
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblPlaceholder);
    layout->addWidget(cmdOK, 0, Qt::AlignRight);
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
}

void frmProperties::Form_Load() {
    if (modMain::gPreloading != vbFalse) {
        return;
    }
    QString text = QStringLiteral("Watched drives:");
    for (const DriveRecord& drive : modMain::gDrives) {
        if (!drive.Letter.empty()) {
            text += QStringLiteral("\n(%1:) %2")
                        .arg(QString::fromStdString(drive.Letter),
                             QString::fromStdString(drive.TypeName));
        }
    }
    lblPlaceholder->setText(text);
}

void frmProperties::cmdOK_Click() {
    Hide();
    forms::FormRegistry::Unload(*this);
}

}  // namespace bm
