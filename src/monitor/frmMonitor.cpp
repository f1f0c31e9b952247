#include "monitor/frmMonitor.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <algorithm>

#include "drives/modMain.h"
#include "platform/services.h"
#include "platform/shell.h"
#include "tray/frmSystemTray.h"

namespace bm {

using modMain::gDrives;

frmMonitor::frmMonitor()
    : Form(kName, Qt::Dialog | Qt::WindowStaysOnTopHint),
      Label2(new QLabel(QStringLiteral("Please examine the following drives for media:"), this)),
      lvwDrive(new ListView(this)),
      lblTimeout(new QLabel(QStringLiteral("Time until Close:"), this)),
      prgTimeout(new QProgressBar(this)),
      cmdOkay(new QPushButton(QStringLiteral("OK"), this)),
      Image1(new QLabel(this)),
      tmrTick(&NewTimer(1000, [this] { tmrTick_Timer(); })),
      tmrUnload(&NewTimer(1000, [this] { tmrUnload_Timer(); })) {
    setWindowTitle(QStringLiteral("Bayminder Notification"));
    setWindowIcon(forms::ProgramIcon());
    forms::Named(Label2, "Label2");
    forms::Named(lvwDrive, "lvwDrive");
    forms::Named(lblTimeout, "lblTimeout");
    forms::Named(prgTimeout, "prgTimeout");
    forms::Named(cmdOkay, "cmdOkay");
    forms::Named(Image1, "Image1");

    Image1->setPixmap(forms::ProgramIcon().pixmap(32, 32));
    Image1->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    lvwDrive->setToolTip(QStringLiteral("Click Icon to Eject / Close"));
    lvwDrive->setMinimumSize(340, 120);
    lvwDrive->BeforeLabelEdit = [this](std::int16_t& Cancel) { lvwDrive_BeforeLabelEdit(Cancel); };
    lblTimeout->setBuddy(prgTimeout);
    // A percentage would read as progress; the bar tells the seconds left instead.
    prgTimeout->setFormat(QStringLiteral("0 s"));
    connect(prgTimeout, &QProgressBar::valueChanged, this, [this](int value) {
        prgTimeout->setFormat(QStringLiteral("%1 s").arg((std::max(value, 0) + 999) / 1000));
    });
    cmdOkay->setDefault(true);
    cmdOkay->setMinimumWidth(80);

    auto* layout = new QGridLayout(this);
    layout->setHorizontalSpacing(12);
    layout->addWidget(Image1, 0, 0, 2, 1);
    layout->addWidget(Label2, 0, 1, 1, 3);
    layout->addWidget(lvwDrive, 1, 1, 1, 3);
    layout->addWidget(lblTimeout, 2, 1);
    layout->addWidget(prgTimeout, 2, 2);
    layout->addWidget(cmdOkay, 2, 3);
    layout->setColumnStretch(2, 1);
    layout->setRowStretch(1, 1);

    connect(lvwDrive, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { lvwDrive_ItemClick(item); });
    connect(cmdOkay, &QPushButton::clicked, this, [this] { cmdOkay_Click(); });

    resize(sizeHint().expandedTo(QSize(420, 250)));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

// The start-up's preload: Form_Load returns at once then, and the unload handlers touch no
// control, so none is built.
frmMonitor::frmMonitor(forms::Bare) : Form(kName, Qt::Dialog) {}

void frmMonitor::Form_Load() {
    if (modMain::gPreloading != vbFalse) {
        return;
    }
    prgTimeout->setMaximum(std::max(modMain::gWaitTime, 0));
    prgTimeout->setValue(prgTimeout->maximum());
    const frmSystemTray& tray = forms::Ref<frmSystemTray>();
    lvwDrive->SetImageLists(&tray.ilsLargeDriveIcon, &tray.ilsSmallDriveIcon);
}

void frmMonitor::tmrTick_Timer() {
    // Never below empty: a wait that is not a whole number of ticks still ends.
    const float left =
        static_cast<float>(prgTimeout->value()) - static_cast<float>(tmrTick->Interval());
    prgTimeout->setValue(static_cast<int>(std::max(left, 0.0F)));
    if (prgTimeout->value() == 0) {
        tmrTick->SetEnabled(false);
        if (modMain::gBeep != vbFalse) {
            platform::MessageBeep(platform::MB_ICONASTERISK);
            DoEvents();
        }
        cmdOkay_Click();
    } else if (modMain::gBeep != vbFalse) {
        platform::MessageBeep(platform::MB_OK);
        DoEvents();
    }
}

void frmMonitor::cmdOkay_Click() {
    if (mAnswered) {
        return;  // the doors were closed once; a second OK in the hide's second does nothing
    }
    mAnswered = true;
    tmrTick->SetEnabled(false);
    modMain::CloseAllDoors();
    tmrUnload->SetEnabled(true);
}

void frmMonitor::FitCountdown(std::int32_t milliseconds) {
    prgTimeout->setMaximum(std::max(milliseconds, 0));
    prgTimeout->setValue(prgTimeout->maximum());
}

void frmMonitor::tmrUnload_Timer() {
    tmrUnload->SetEnabled(false);
    Hide();
}

void frmMonitor::lvwDrive_ItemClick(QListWidgetItem* Item) {
    Item->setSelected(false);
    // The door commands let events run, and those may take the item away: hold on to the key.
    const std::string key = ListView::Key(Item);
    if (key.size() != 1) {
        return;
    }
    const std::size_t index = static_cast<unsigned char>(key[0]);
    if (index >= gDrives.size()) {
        return;
    }
    DriveRecord& drive = gDrives[index];
    const QPointer<ListView> list(lvwDrive);
    // Ghosted shows an open tray: a tray that a mounted disc kept shut stays as it was, and the
    // next click tries again.
    if (drive.CanEject != vbFalse && drive.DoorClosed != vbFalse) {
        modMain::OpenDoor(drive);
        if (list) {
            list->SetGhosted(list->Find(key), drive.DoorClosed == vbFalse);
        }
    } else if (drive.CanClose != vbFalse && drive.DoorClosed == vbFalse) {
        modMain::CloseDoor(drive);
        if (list) {
            list->SetGhosted(list->Find(key), drive.DoorClosed == vbFalse);
        }
    } else {
        modMain::RefreshDriveStatus(drive);
    }
    if (list && drive.MediaPresent == vbFalse) {
        list->Remove(key);
    }
}

void frmMonitor::lvwDrive_BeforeLabelEdit(std::int16_t& Cancel) {
    Cancel = 1;
}

void frmMonitor::Form_QueryUnload(std::int16_t& /*Cancel*/, std::int16_t /*UnloadMode*/) {
    platform::Get().host->WaitWhile([this] { return Visible(); });
}

void frmMonitor::Form_Unload(std::int16_t& /*Cancel*/) {}

void frmMonitor::closeEvent(QCloseEvent* event) {
    event->ignore();
    cmdOkay_Click();
}

}  // namespace bm
