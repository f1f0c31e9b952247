#include "properties/frmPropertiesAdvanced.h"

#include <QEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "drives/modMain.h"
#include "forms/icons.h"

namespace bm {
namespace {

// The sample stands for a CD drive R: holding a disc labelled Office_95.
QString SampleText(bool mediaType, bool driveType) {
    return (mediaType ? QStringLiteral("Disc in ") : QStringLiteral("Office_95 in ")) +
           (driveType ? QStringLiteral("CD") : QStringLiteral("(R:)"));
}

}  // namespace

frmPropertiesAdvanced::frmPropertiesAdvanced()
    : Form(kName, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                      Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      Frame1(forms::Named(new QGroupBox(QStringLiteral("Notify Dialog:"), this), "Frame1")),
      lblWait(forms::Named(new QLabel(QStringLiteral("Wait:"), Frame1), "lblWait")),
      sldWait(forms::Named(new QSlider(Qt::Horizontal, Frame1), "sldWait")),
      lblWaitTime(forms::Named(new QLabel(QStringLiteral("10 Seconds"), Frame1), "lblWaitTime")),
      chkBeep(forms::Named(new QCheckBox(QStringLiteral("Warning Beeps"), Frame1), "chkBeep")),
      Frame3(forms::Named(new QGroupBox(QStringLiteral("ToolTip Text:"), this), "Frame3")),
      Frame4(forms::Named(new QGroupBox(Frame3), "Frame4")),
      optMediaType(
          forms::Named(new QRadioButton(QStringLiteral("Media Type"), Frame4), "optMediaType")),
      optMediaLabel(
          forms::Named(new QRadioButton(QStringLiteral("Media Label"), Frame4), "optMediaLabel")),
      Label2(forms::Named(new QLabel(QStringLiteral("in"), Frame3), "Label2")),
      Frame2(forms::Named(new QGroupBox(Frame3), "Frame2")),
      optDriveType(
          forms::Named(new QRadioButton(QStringLiteral("Drive Type"), Frame2), "optDriveType")),
      optDriveLetter(
          forms::Named(new QRadioButton(QStringLiteral("Drive Letter"), Frame2), "optDriveLetter")),
      lblToolTip(forms::Named(new QLabel(QStringLiteral("ToolTip Sample:"), Frame3), "lblToolTip")),
      lblToolTipSample(forms::Named(new QLabel(Frame3), "lblToolTipSample")),
      cmdOkay(forms::Named(new QPushButton(QStringLiteral("OK"), this), "cmdOkay")),
      cmdCancel(forms::Named(new QPushButton(QStringLiteral("Cancel"), this), "cmdCancel")) {
    setWindowTitle(QStringLiteral("Bayminder Advanced Properties"));
    setWindowIcon(forms::ProgramIcon());

    sldWait->setRange(5, 15);
    sldWait->setSingleStep(1);
    sldWait->setPageStep(5);
    sldWait->setTickPosition(QSlider::TicksBelow);
    sldWait->setTickInterval(1);
    sldWait->setValue(10);
    sldWait->setMinimumWidth(fontMetrics().averageCharWidth() * 32);
    lblWait->setBuddy(sldWait);
    lblWaitTime->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    chkBeep->setChecked(true);
    optMediaLabel->setChecked(true);
    optDriveType->setChecked(true);
    Label2->setAlignment(Qt::AlignCenter);

    // Drawn as a tooltip would be; read by a screen reader with its label.
    lblToolTipSample->setAutoFillBackground(true);
    lblToolTipSample->setFrameStyle(QFrame::Box | QFrame::Plain);
    lblToolTipSample->setMargin(fontMetrics().averageCharWidth() / 2 + 1);
    lblToolTipSample->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    ApplyToolTipColours();
    lblToolTip->setBuddy(lblToolTipSample);
    lblToolTipSample->setAccessibleDescription(QStringLiteral("ToolTip Sample"));
    // Room for the longest sample, so that the window keeps its size as the sample changes.
    int sampleWidth = 0;
    for (const bool media : {false, true}) {
        for (const bool drive : {false, true}) {
            lblToolTipSample->setText(SampleText(media, drive));
            sampleWidth = std::max(sampleWidth, lblToolTipSample->sizeHint().width());
        }
    }
    lblToolTipSample->setText(SampleText(false, true));

    // Enter presses nothing: there is no default button.
    for (QPushButton* button : {cmdOkay, cmdCancel}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    const int buttonWidth = std::max({cmdOkay->sizeHint().width(), cmdCancel->sizeHint().width(),
                                      fontMetrics().averageCharWidth() * 12});
    cmdOkay->setMinimumWidth(buttonWidth);
    cmdCancel->setMinimumWidth(buttonWidth);

    auto* notify = new QGridLayout(Frame1);
    notify->addWidget(lblWait, 0, 0, Qt::AlignLeft | Qt::AlignTop);
    notify->addWidget(sldWait, 0, 1);
    notify->addWidget(lblWaitTime, 1, 1);
    notify->addWidget(chkBeep, 2, 0, 1, 2);
    notify->setColumnStretch(1, 1);

    auto* media = new QVBoxLayout(Frame4);
    media->addWidget(optMediaType);
    media->addWidget(optMediaLabel);
    auto* drive = new QVBoxLayout(Frame2);
    drive->addWidget(optDriveType);
    drive->addWidget(optDriveLetter);

    auto* tooltip = new QGridLayout(Frame3);
    tooltip->addWidget(Frame4, 0, 0);
    tooltip->addWidget(Label2, 0, 1);
    tooltip->addWidget(Frame2, 0, 2);
    // Kept beside its label (not in a box of its own) so that a screen reader pairs them.
    auto* sampleRow = new QGridLayout;
    sampleRow->addWidget(lblToolTip, 0, 0);
    sampleRow->addWidget(lblToolTipSample, 0, 1, Qt::AlignLeft | Qt::AlignVCenter);
    sampleRow->setColumnMinimumWidth(1, sampleWidth);
    sampleRow->setColumnStretch(1, 1);
    tooltip->addLayout(sampleRow, 1, 0, 1, 3);
    tooltip->setColumnStretch(0, 1);
    tooltip->setColumnStretch(2, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOkay);
    buttons->addWidget(cmdCancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Frame1);
    layout->addWidget(Frame3);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(sldWait, chkBeep);
    setTabOrder(chkBeep, optMediaType);
    setTabOrder(optMediaType, optMediaLabel);
    setTabOrder(optMediaLabel, optDriveType);
    setTabOrder(optDriveType, optDriveLetter);
    setTabOrder(optDriveLetter, cmdOkay);
    setTabOrder(cmdOkay, cmdCancel);
    sldWait->setFocus();

    // valueChanged also comes from the keyboard and from setValue, which sliderMoved misses.
    connect(sldWait, &QSlider::sliderMoved, this, [this] { sldWait_Scroll(); });
    connect(sldWait, &QSlider::valueChanged, this, [this] {
        if (!mLoading) {
            sldWait_Scroll();
            sldWait_Change();
        }
    });
    connect(chkBeep, &QCheckBox::toggled, this, [this] {
        if (!mLoading) {
            chkBeep_Click();
        }
    });
    const auto onSelect = [this](QRadioButton* option, void (frmPropertiesAdvanced::*handler)()) {
        connect(option, &QRadioButton::toggled, this, [this, handler](bool checked) {
            if (checked && !mLoading) {
                (this->*handler)();
            }
        });
    };
    onSelect(optMediaType, &frmPropertiesAdvanced::optMediaType_Click);
    onSelect(optMediaLabel, &frmPropertiesAdvanced::optMediaLabel_Click);
    onSelect(optDriveType, &frmPropertiesAdvanced::optDriveType_Click);
    onSelect(optDriveLetter, &frmPropertiesAdvanced::optDriveLetter_Click);
    connect(cmdOkay, &QPushButton::clicked, this, [this] { cmdOkay_Click(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
    SetCancelButton(cmdCancel);

    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

// The start-up's preload: Form_Load returns at once then, and the unload handlers touch no
// control, so none is built.
frmPropertiesAdvanced::frmPropertiesAdvanced(forms::Bare) : Form(kName, Qt::Dialog) {}

void frmPropertiesAdvanced::Form_Load() {
    if (modMain::gPreloading != vbFalse) {
        return;
    }
    modMain::gAdvancedOpen = vbTrue;
    mLoading = true;
    chkBeep->setChecked(modMain::gBeep != vbFalse);
    sldWait->setValue(static_cast<int>(std::lround(modMain::gWaitTime / 1000.0)));
    (modMain::gShowDriveType != vbFalse ? optDriveType : optDriveLetter)->setChecked(true);
    (modMain::gShowMediaType != vbFalse ? optMediaType : optMediaLabel)->setChecked(true);
    mLoading = false;
    sldWait_Scroll();
    optDriveType_Click();
}

void frmPropertiesAdvanced::Form_Unload(std::int16_t& /*Cancel*/) {
    modMain::gAdvancedOpen = vbFalse;
}

void frmPropertiesAdvanced::chkBeep_Click() {
    modMain::gBeep = ToVb(chkBeep->checkState() == Qt::Checked);
}

void frmPropertiesAdvanced::optDriveType_Click() {
    UpdateToolTipSample();
}

void frmPropertiesAdvanced::optDriveLetter_Click() {
    UpdateToolTipSample();
}

void frmPropertiesAdvanced::optMediaType_Click() {
    UpdateToolTipSample();
}

void frmPropertiesAdvanced::optMediaLabel_Click() {
    UpdateToolTipSample();
}

void frmPropertiesAdvanced::sldWait_Change() {
    modMain::gWaitTime = sldWait->value() * 1000;
}

void frmPropertiesAdvanced::sldWait_Scroll() {
    // The position, since while the thumb is dragged it may run ahead of the value.
    lblWaitTime->setText(QString::number(sldWait->sliderPosition()) + QStringLiteral(" Seconds"));
    sldWait->setAccessibleDescription(lblWaitTime->text());
}

void frmPropertiesAdvanced::UpdateToolTipSample() {
    const bool media = optMediaType->isChecked();
    const bool drive = optDriveType->isChecked();
    modMain::gShowMediaType = ToVb(media);
    modMain::gShowDriveType = ToVb(drive);
    lblToolTipSample->setText(SampleText(media, drive));
}

void frmPropertiesAdvanced::cmdOkay_Click() {
    Hide();
    forms::FormRegistry::Unload(*this, forms::vbFormCode);
}

void frmPropertiesAdvanced::cmdCancel_Click() {
    Hide();
    // The store write may let events run, and one of them may unload this window first.
    const QPointer<frmPropertiesAdvanced> self(this);
    modMain::InitOptions();
    if (self) {
        forms::FormRegistry::Unload(*this, forms::vbFormCode);
    }
}

void frmPropertiesAdvanced::ApplyToolTipColours() {
    QPalette tip = palette();
    tip.setColor(QPalette::Window, tip.color(QPalette::ToolTipBase));
    tip.setColor(QPalette::WindowText, tip.color(QPalette::ToolTipText));
    lblToolTipSample->setPalette(tip);
}

void frmPropertiesAdvanced::changeEvent(QEvent* event) {
    // The desktop's colours changed: the sample follows its tooltips.
    if (event->type() == QEvent::PaletteChange) {
        ApplyToolTipColours();
    }
    Form::changeEvent(event);
}

}  // namespace bm
