#include "windows/frmAbout.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>

#include "forms/icons.h"
#include "windows/frmSplash.h"

namespace bm {
namespace {

constexpr int kClientWidth = 3750;
constexpr int kClientHeight = 1710;

}  // namespace

frmAbout::frmAbout()
    : Form(kName, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                      Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      cmdOkay(new QPushButton(QStringLiteral("OK"), this)),
      lblBeta(title::NewBeta(this, {480, 0, 2655, 1095})),
      lblTitle1(title::NewLabel(this, "lblTitle1", QStringLiteral("Bay"), {600, 120, 1080, 465},
                                title::SerifFont(20.25, false, true), Qt::AlignLeft | Qt::AlignTop,
                                true)),
      lblTitle2(title::NewLabel(this, "lblTitle2", QStringLiteral("minder"), {960, 360, 1575, 555},
                                title::SerifFont(20.25, true, false), Qt::AlignLeft | Qt::AlignTop,
                                true)),
      lblVersion(title::NewLabel(this, "lblVersion", QString(), {2520, 360, 615, 375},
                                 title::SerifFont(20.25, false, false),
                                 Qt::AlignLeft | Qt::AlignTop, false)),
      lblCopyright(title::NewLabel(this, "lblCopyright", title::CopyrightText(),
                                   {480, 840, 2655, 255}, QApplication::font(),
                                   Qt::AlignLeft | Qt::AlignVCenter, false)) {
    setWindowTitle(QStringLiteral("About Bayminder"));
    setWindowIcon(forms::ProgramIcon());
    forms::Named(cmdOkay, "cmdOkay");
    cmdOkay->setDefault(true);
    cmdOkay->setGeometry(title::PixelRect(1080, 1215, 1215, 375));
    SetCancelButton(cmdOkay);
    setFocusProxy(cmdOkay);
    cmdOkay->setFocus();
    // The line may run on to the window's right edge.
    const int room = title::Pixels(kClientWidth) - lblCopyright->x() - title::Pixels(120);
    title::FitWidth(lblCopyright, room);
    lblCopyright->resize(std::max(lblCopyright->width(), lblCopyright->sizeHint().width()),
                         lblCopyright->height());
    connect(cmdOkay, &QPushButton::clicked, this, [this] { cmdOkay_Click(); });
    setFixedSize(title::Pixels(kClientWidth), title::Pixels(kClientHeight));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

void frmAbout::Form_Load() {
    // Reading the splash's label loads the splash, unseen, when it is not loaded.
    lblVersion->setText(forms::Ref<frmSplash>().lblVersion->text());
    lblVersion->adjustSize();
}

void frmAbout::cmdOkay_Click() {
    forms::FormRegistry::Unload(*this, forms::vbFormCode);
}

void frmAbout::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            cmdOkay->click();
            break;
        default:
            Form::keyPressEvent(event);
    }
}

}  // namespace bm
