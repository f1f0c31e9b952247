#include <tuple>

#include "support/window_fixture.h"
#include "tray/frmSystemTray.h"

using namespace bm;
using namespace bm::modMain;
using bm::forms::FormRegistry;

namespace {

using Startup = test::WindowFixture;

// The window lines of the trace: load, show, hide and unload.
std::vector<std::string> FormLines(std::vector<std::string> lines) {
    std::erase_if(lines,
                  [](const std::string& line) { return line.find(" frm") == std::string::npos; });
    return lines;
}

TEST_F(Startup, ASecondCopyShowsProbesAndWritesNothing) {
    AddCd('D', true);
    otherInstance = true;
    Main();
    EXPECT_EQ(FormRegistry::LoadedCount(), 0);
    EXPECT_TRUE(Lines().empty());
    EXPECT_TRUE(mci.sent.empty());
    EXPECT_EQ(settings.writes, 0);
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(Startup, StartsTheTrayPreloadsTheDialogsAndClosesTheTrays) {
    AddCd('D', true);
    mci.cds['D'].doorOpen = true;
    gWaitTime = 3000;
    gBeep = vbFalse;
    gShowMediaType = vbTrue;
    gAdvancedOpen = vbTrue;
    Main();
    EXPECT_EQ(FormLines(Lines()),
              (std::vector<std::string>{"load frmSplash", "show frmSplash", "load frmProperties",
                                        "unload frmProperties 1", "load frmMonitor",
                                        "unload frmMonitor 1", "load frmPropertiesAdvanced",
                                        "unload frmPropertiesAdvanced 1", "load frmSystemTray"}));
    EXPECT_EQ(gPreloading, vbFalse);
    // The preloaded dialogs are built without controls; their unload handlers still run.
    EXPECT_EQ(gAdvancedOpen, vbFalse);
    EXPECT_EQ(std::tuple(gWaitTime, gBeep, gShowDriveType, gShowMediaType),
              std::tuple(10000, vbTrue, vbTrue, vbFalse));
    EXPECT_EQ(settings.Value("@", "5"), host.appPath);
    EXPECT_TRUE(shell.IconShown());
    EXPECT_FALSE(mci.cds['D'].doorOpen);
    EXPECT_TRUE(host.boxes.empty());
    // The splash goes by itself; the tray window keeps the program alive.
    FormRegistry::SetMainReturned();
    host.Advance(5000);
    EXPECT_EQ(FormRegistry::Find("frmSplash"), nullptr);
    EXPECT_EQ(programEnds, 0);
}

TEST_F(Startup, NoDriveTellsSoAndEndsWithTheSplash) {
    drives.drives['C'] = {platform::kDriveFixed, true};
    Main();
    EXPECT_EQ(host.boxes, (std::vector<test::ShownBox>{
                              {"Bayminder monitors removable drives.\rThis system doesn't appear "
                               "to have any.",
                               4112, "Bayminder"}}));
    EXPECT_TRUE(shell.calls.empty());
    FormRegistry::SetMainReturned();
    EXPECT_EQ(programEnds, 0);
    host.Advance(5000);
    EXPECT_EQ(programEnds, 1);
}

}  // namespace
