#include "properties/frmProperties.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "drives/runtime.h"
#include "forms/icons.h"
#include "platform/errors.h"
#include "platform/host.h"
#include "properties/frmPropertiesAdvanced.h"
#include "tray/frmSystemTray.h"

namespace bm {
namespace {

QLineEdit* DisplayField(QWidget* parent, const char* name, const char* text) {
    auto* field = new QLineEdit(QString::fromLatin1(text), parent);
    forms::Named(field, name);
    field->setReadOnly(true);
    field->setFocusPolicy(Qt::NoFocus);
    // Drawn in the window's face colour: a display, not an entry.
    QPalette palette = field->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    field->setPalette(palette);
    return field;
}

QLabel* Label(QWidget* parent, const char* name, const char* text, QWidget* buddy) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    forms::Named(label, name);
    label->setBuddy(buddy);
    buddy->setAccessibleName(label->text());
    return label;
}

forms::CheckBox* CheckBox(QWidget* parent, const char* name, const char* text) {
    return forms::Named(new forms::CheckBox(QString::fromLatin1(text), parent), name);
}

QPushButton* Button(QWidget* parent, const char* name, const char* text) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    forms::Named(button, name);
    button->setAutoDefault(false);  // Enter presses nothing
    return button;
}

}  // namespace

frmProperties::frmProperties() : Form(kName, Qt::Dialog) {
    setWindowTitle(QStringLiteral("Bayminder Properties"));
    setWindowIcon(forms::ProgramIcon());

    tabDrive = new QTabBar(this);
    forms::Named(tabDrive, "tabDrive");
    tabDrive->setExpanding(false);
    fraDrive = new QGroupBox(QStringLiteral("Drive"), this);
    forms::Named(fraDrive, "fraDrive");
    imgDriveIcon = new QLabel(fraDrive);
    forms::Named(imgDriveIcon, "imgDriveIcon");
    imgDriveIcon->setFixedSize(32, 32);
    txtType = DisplayField(fraDrive, "txtType", "Removable");
    txtMediaStatus = DisplayField(fraDrive, "txtMediaStatus", "Unknown");
    txtTrayStatus = DisplayField(fraDrive, "txtTrayStatus", "Unknown");
    lblType = Label(fraDrive, "lblType", "Drive Type:", txtType);
    lblMediaStatus = Label(fraDrive, "lblMediaStatus", "Media Status:", txtMediaStatus);
    lblTrayStatus = Label(fraDrive, "lblTrayStatus", "Tray Status:", txtTrayStatus);

    Frame1 = new QFrame(fraDrive);
    forms::Named(Frame1, "Frame1");
    Frame1->setFrameShape(QFrame::StyledPanel);
    chkMonitor = CheckBox(Frame1, "chkMonitor", "Monitor at Shutdown:");
    fraNotEmpty = new QFrame(Frame1);
    forms::Named(fraNotEmpty, "fraNotEmpty");
    chkEject = CheckBox(fraNotEmpty, "chkEject", "Auto &Eject");
    chkNotify = CheckBox(fraNotEmpty, "chkNotify", "&Notify User");
    fraIcon = new QGroupBox(QStringLiteral("Icon Features:"), fraDrive);
    forms::Named(fraIcon, "fraIcon");
    chkTrayToggle = CheckBox(fraIcon, "chkTrayToggle", "Tray Toggle");
    chkStatusToolTip = CheckBox(fraIcon, "chkStatusToolTip", "Status ToolTip");

    cmdOkay = Button(this, "cmdOkay", "OK");
    cmdCancel = Button(this, "cmdCancel", "Cancel");
    cmdAdvanced = Button(this, "cmdAdvanced", "Advanced...");

    auto* notEmpty = new QHBoxLayout(fraNotEmpty);
    notEmpty->addWidget(chkEject);
    notEmpty->addWidget(chkNotify);
    auto* monitor = new QVBoxLayout(Frame1);
    monitor->addWidget(chkMonitor);
    monitor->addWidget(fraNotEmpty);
    auto* icon = new QHBoxLayout(fraIcon);
    icon->addWidget(chkTrayToggle);
    icon->addWidget(chkStatusToolTip);
    auto* fields = new QGridLayout;
    fields->addWidget(lblType, 0, 0);
    fields->addWidget(txtType, 0, 1);
    fields->addWidget(lblMediaStatus, 1, 0);
    fields->addWidget(txtMediaStatus, 1, 1);
    fields->addWidget(lblTrayStatus, 2, 0);
    fields->addWidget(txtTrayStatus, 2, 1);
    auto* top = new QHBoxLayout;
    top->addWidget(imgDriveIcon, 0, Qt::AlignTop);
    top->addLayout(fields, 1);
    auto* drive = new QVBoxLayout(fraDrive);
    drive->addLayout(top);
    drive->addWidget(Frame1);
    drive->addWidget(fraIcon);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOkay);
    buttons->addWidget(cmdCancel);
    buttons->addWidget(cmdAdvanced);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabDrive);
    layout->addWidget(fraDrive);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(tabDrive, &QTabBar::currentChanged, this, [this] {
        if (!mBuilding) {
            tabDrive_Click();
        }
    });
    chkEject->OnClick([this] { chkEject_Click(); });
    chkNotify->OnClick([this] { chkNotify_Click(); });
    chkMonitor->OnClick([this] { chkMonitor_Click(); });
    connect(cmdOkay, &QPushButton::clicked, this, [this] { cmdOkay_Click(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
    connect(cmdAdvanced, &QPushButton::clicked, this, [this] { cmdAdvanced_Click(); });
    SetCancelButton(cmdCancel);
    tmrStatus = &NewTimer(1000, [this] { tmrStatus_Timer(); });
}

DriveRecord* frmProperties::DriveOfTab(std::int32_t TabNo) {
    auto& drives = modMain::gDrives;
    if (TabNo < 1 || static_cast<std::size_t>(TabNo) > drives.size()) {
        return nullptr;
    }
    return &drives[static_cast<std::size_t>(TabNo - 1)];
}

// The start-up's preload: Form_Load returns at once then, and the unload handlers touch no
// control, so none is built.
frmProperties::frmProperties(forms::Bare) : Form(kName, Qt::Dialog) {}

void frmProperties::Form_Load() {
    if (modMain::gPreloading != vbFalse) {
        return;
    }
    cmdAdvanced->setEnabled(modMain::gAdvancedOpen == vbFalse);
    FillTabs();
    mBuilding = true;
    tabDrive->setCurrentIndex(0);
    mBuilding = false;
    ShowDrive(1);
    CurrentTab = 1;
    tmrStatus->SetEnabled(true);
}

void frmProperties::FillTabs() {
    const frmSystemTray& tray = forms::Ref<frmSystemTray>();
    mBuilding = true;
    while (tabDrive->count() > 0) {
        tabDrive->removeTab(0);
    }
    for (const DriveRecord& drive : modMain::gDrives) {
        const QString letter = QString::fromStdString(drive.Letter.substr(0, 1));
        const int tab = tabDrive->addTab(tray.ilsSmallDriveIcon.Icon(drive.DriveType),
                                         drive.Gone ? QStringLiteral("(%1:) gone").arg(letter)
                                                    : QStringLiteral("(%1:)").arg(letter));
        tabDrive->setTabData(tab, letter);
    }
    mBuilding = false;
}

void frmProperties::TableChanged() {
    if (tabDrive == nullptr || tabDrive->count() == 0) {
        return;  // not built, or not shown yet: Form_Load reads the table
    }
    // The table has changed under the tabs: the shown drive is found by its letter.
    const QString shown = tabDrive->tabData(CurrentTab - 1).toString();
    std::int32_t tab = 1;
    for (std::size_t i = 0; i < modMain::gDrives.size(); ++i) {
        if (QString::fromStdString(modMain::gDrives[i].Letter) == shown) {
            tab = static_cast<std::int32_t>(i) + 1;
        }
    }
    StoreDrive(tab);
    FillTabs();
    mBuilding = true;
    tabDrive->setCurrentIndex(tab - 1);
    mBuilding = false;
    CurrentTab = tab;
    ShowDrive(tab);
}

void frmProperties::ShowDrive(std::int32_t TabNo) {
    const DriveRecord* drive = DriveOfTab(TabNo);
    if (drive == nullptr) {
        return;
    }
    fraDrive->hide();
    imgDriveIcon->setPixmap(
        forms::Ref<frmSystemTray>().ilsLargeDriveIcon.Picture(drive->DriveType));
    switch (drive->DriveType) {
        case modMain::kRemovable:
            txtType->setText(QStringLiteral("Removable"));
            break;
        case modMain::kFloppy:
            txtType->setText(QStringLiteral("Floppy"));
            break;
        case modMain::kCD:
            txtType->setText(QStringLiteral("CD"));
            break;
        default:
            break;
    }
    const bool trayLine = drive->CanEject != vbFalse && drive->CanClose != vbFalse;
    lblTrayStatus->setVisible(trayLine);
    txtTrayStatus->setVisible(trayLine);
    chkMonitor->SetValue(drive->Monitor);
    chkEject->SetValue(drive->Eject);
    chkNotify->SetValue(drive->Notify);
    chkTrayToggle->SetValue(drive->TrayToggle);
    chkStatusToolTip->SetValue(drive->StatusToolTip);
    txtMediaStatus->setText(drive->Gone ? QStringLiteral("Drive removed")
                                        : QStringLiteral("Unknown"));
    UpdateEjectOptions();
    UpdateMonitorOptions();
    fraDrive->show();
}

void frmProperties::StoreDrive(std::int32_t TabNo) {
    DriveRecord* drive = DriveOfTab(TabNo);
    if (drive == nullptr) {
        return;
    }
    drive->Monitor = chkMonitor->Value();
    drive->Eject = chkEject->Value();
    drive->Notify = chkNotify->Value();
    drive->TrayToggle = chkTrayToggle->Value();
    drive->StatusToolTip = chkStatusToolTip->Value();
}

void frmProperties::UpdateEjectOptions() {
    const DriveRecord* drive = DriveOfTab(tabDrive->currentIndex() + 1);
    if (drive == nullptr) {
        return;
    }
    const bool eject = chkEject->Value() == 1;
    const bool notify = chkNotify->Value() == 1;
    const bool canEject = drive->CanEject != vbFalse;
    const bool canClose = drive->CanClose != vbFalse;
    chkEject->setEnabled(canEject);
    chkTrayToggle->setEnabled(canEject && canClose);
    if ((!eject && !notify) || (eject && canClose)) {
        chkNotify->SetValue(1);
    }
}

void frmProperties::UpdateMonitorOptions() {
    fraNotEmpty->setVisible(chkMonitor->Value() != 0);
}

void frmProperties::tabDrive_Click() {
    const std::int32_t selected = tabDrive->currentIndex() + 1;
    if (selected == CurrentTab) {
        return;
    }
    tmrStatus->SetEnabled(false);
    StoreDrive(CurrentTab);
    ShowDrive(selected);
    CurrentTab = selected;
    tmrStatus->SetEnabled(true);
}

void frmProperties::cmdOkay_Click() {
    Hide();
    DoEvents();
    StoreDrive(CurrentTab);
    try {
        modMain::SaveAllDriveSettings();
    } catch (const RuntimeError& error) {
        // The drives saved before the failure keep their new values; the rest stay in memory.
        MsgBox(std::string("Bayminder could not save the drive settings.") + "\r" + error.what() +
                   "\r" + "The changes are kept until Bayminder ends.",
               platform::kVbExclamation, kAppTitle);
    }
    forms::FormRegistry::Unload(*this);
}

void frmProperties::cmdCancel_Click() {
    Hide();
    DoEvents();
    modMain::LoadAllDriveSettings();
    forms::FormRegistry::Unload(*this);
}

void frmProperties::cmdAdvanced_Click() {
    forms::Ref<frmPropertiesAdvanced>().Show();
    cmdAdvanced->setEnabled(false);
}

void frmProperties::tmrStatus_Timer() {
    if (!Visible()) {
        return;
    }
    cmdAdvanced->setEnabled(modMain::gAdvancedOpen == vbFalse);
    DriveRecord* drive = DriveOfTab(tabDrive->currentIndex() + 1);
    if (drive == nullptr) {
        return;
    }
    if (drive->Gone) {
        txtMediaStatus->setText(QStringLiteral("Drive removed"));
        return;
    }
    const forms::Form* self = this;
    modMain::RefreshDriveStatus(*drive);
    // Events ran inside the refresh: the dialog may be gone, or on another tab.
    if (forms::Loaded<frmProperties>() != self || !Visible()) {
        return;
    }
    drive = DriveOfTab(tabDrive->currentIndex() + 1);
    if (drive == nullptr) {
        return;
    }
    if (drive->CanEject != vbFalse && drive->CanClose != vbFalse) {
        QString tray =
            drive->DoorClosed != vbFalse ? QStringLiteral("Closed") : QStringLiteral("Open");
        if (drive->DoorUncertain != vbFalse) {
            tray += QLatin1Char('?');
        }
        txtTrayStatus->setText(tray);
    }
    txtMediaStatus->setText(drive->MediaPresent != vbFalse ? QStringLiteral("Loaded")
                                                           : QStringLiteral("Empty"));
}

}  // namespace bm
