#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include "support/window_fixture.h"
#include "windows/frmAbout.h"
#include "windows/frmSplash.h"

using namespace bm;
using bm::forms::FormRegistry;

namespace {

using WindowsTest = test::WindowFixture;

// Its own close at five seconds is the start-up and session end tests' part.
TEST_F(WindowsTest, TheSplashStaysFiveSecondsWhateverIsClickedAndHoldsAnUnloadUntilThen) {
    frmSplash& splash = forms::Ref<frmSplash>();
    splash.Show();
    EXPECT_EQ(splash.lblVersion->text(), QStringLiteral("3.0"));
    // The text comes once the event loop waits: after the start-up has put the icon up.
    EXPECT_FALSE(splash.lblVersion->isVisible());
    QEventLoop loop;
    QTimer::singleShot(0, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_TRUE(splash.lblVersion->isVisible());
    QTest::mouseClick(&splash, Qt::LeftButton);
    QTest::mouseClick(splash.lblTitle2, Qt::LeftButton);
    host.Advance(2000);
    EXPECT_TRUE(splash.Visible());
    EXPECT_TRUE(FormRegistry::Unload(frmSplash::kName, forms::vbAppWindows));
    EXPECT_EQ(host.Now(), 5000);
    EXPECT_EQ(forms::Loaded<frmSplash>(), nullptr);
    // One unload, the one asked for; the timer's own joined it.
    EXPECT_EQ(Count(Lines(), "unload frmSplash 2"), 1);
    EXPECT_EQ(Count(Lines(), "unload frmSplash 1"), 0);
}

// Esc and Enter are the desktop tests' part.
TEST_F(WindowsTest, AboutReadsTheVersionFromAnUnseenSplashIsOneWindowAndGoesByItsCloseBox) {
    host.Advance(60000);
    frmAbout& about = forms::Ref<frmAbout>();
    about.Show();
    EXPECT_EQ(about.lblVersion->text(), QStringLiteral("3.0"));
    ASSERT_NE(forms::Loaded<frmSplash>(), nullptr);
    EXPECT_FALSE(forms::Loaded<frmSplash>()->Visible());
    EXPECT_EQ(Count(Lines(), "show frmSplash"), 0);

    FormRegistry::Get(frmAbout::kName).Show();
    EXPECT_EQ(&forms::Ref<frmAbout>(), &about);
    EXPECT_EQ(Count(Lines(), "load frmAbout"), 1);

    // The splash goes as always; the About window stays.
    host.Advance(5000);
    EXPECT_EQ(forms::Loaded<frmSplash>(), nullptr);
    EXPECT_TRUE(about.Visible());
    about.close();
    EXPECT_EQ(forms::Loaded<frmAbout>(), nullptr);
    EXPECT_EQ(Count(Lines(), "unload frmAbout 0"), 1);
}

}  // namespace
