#pragma once
// The drive model fixture with the windows: a QApplication on the offscreen platform, the fake
// shell, every window registered, and the end of the program recorded instead of done.
#include "app/all_forms.h"
#include "forms/form.h"
#include "monitor/frmMonitor.h"
#include "support/fake_shell.h"
#include "support/model_fixture.h"
#include "support/qt_app.h"

namespace bm::test {

class WindowFixture : public ModelFixture {
  protected:
    static void SetUpTestSuite() { test::EnsureQApplication(); }
    void SetUp() override {
        ModelFixture::SetUp();
        app::RegisterAllForms();
        platform::Install({&drives, &mci, &settings, &host, &shell, &windows});
        forms::FormRegistry::SetOnProgramEnd([this] { ++programEnds; });
    }
    void TearDown() override {
        forms::FormRegistry::DestroyAll();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ModelFixture::TearDown();
    }

    FakeShell shell;
    bool otherInstance = false;
    forms::QtWindows windows{[this] { return otherInstance; }};
    int programEnds = 0;

    // The notification's item of the drive at that index of the table.
    static QListWidgetItem* Item(int index) {
        return forms::Ref<frmMonitor>().lvwDrive->Find(Chr(index));
    }
    // The notification's list as text, " ghosted" after an item whose tray is open.
    static std::vector<std::string> Items() {
        std::vector<std::string> texts;
        const ListView& list = *forms::Ref<frmMonitor>().lvwDrive;
        for (int i = 0; i < list.Count(); ++i) {
            texts.push_back(list.item(i)->text().toStdString() +
                            (ListView::Ghosted(list.item(i)) ? " ghosted" : ""));
        }
        return texts;
    }
};

}  // namespace bm::test
