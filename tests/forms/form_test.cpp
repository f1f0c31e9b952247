#include "forms/form.h"

#include <QAccessible>

#include "forms/icons.h"
#include "properties/frmProperties.h"
#include "properties/frmPropertiesAdvanced.h"
#include "support/window_fixture.h"

using namespace bm;
using bm::forms::FormRegistry;

namespace {

struct Probe : forms::Form {
    static constexpr const char* kName = "frmProbe";
    Probe() : Form(kName) {}
    void Form_Load() override {
        ++loads;
        // A reference from inside its own load finds the window being loaded.
        EXPECT_EQ(&forms::Ref<Probe>(), this);
    }
    void Form_QueryUnload(std::int16_t& Cancel, std::int16_t UnloadMode) override {
        modes.push_back(UnloadMode);
        Cancel = refuse ? 1 : 0;
        // Unloading again from inside the unload is ignored, not recursive.
        EXPECT_TRUE(FormRegistry::Unload(*this));
    }
    static inline int loads = 0;
    static inline std::vector<int> modes;
    static inline bool refuse = false;
};

using Forms = test::WindowFixture;

TEST_F(Forms, LoadOnFirstReferenceUnloadWithReasonAndEndWithTheLastWindow) {
    Probe::loads = 0;
    Probe::modes.clear();
    Probe::refuse = false;
    forms::RegisterForm<Probe>();
    EXPECT_EQ(forms::Loaded<Probe>(), nullptr);
    Probe& first = forms::Ref<Probe>();
    EXPECT_EQ(&forms::Ref<Probe>(), &first);
    EXPECT_EQ(Probe::loads, 1);
    EXPECT_FALSE(first.Visible());

    first.Show();
    first.Show();
    EXPECT_TRUE(first.Visible());
    Probe::refuse = true;
    EXPECT_FALSE(FormRegistry::Unload(first, forms::vbAppTaskManager));
    EXPECT_EQ(forms::Loaded<Probe>(), &first);

    Probe::refuse = false;
    FormRegistry::SetMainReturned();
    EXPECT_EQ(programEnds, 0);
    first.close();  // the close box: reason 0
    EXPECT_EQ(Probe::modes, (std::vector<int>{3, 0}));
    EXPECT_EQ(forms::Loaded<Probe>(), nullptr);
    EXPECT_EQ(programEnds, 1);
    EXPECT_EQ(
        (std::vector<std::string>(Lines().begin(), Lines().end())),
        (std::vector<std::string>{"load frmProbe", "show frmProbe", "show frmProbe",
                                  "unload frmProbe 3", "unload frmProbe 0", "hide frmProbe"}));
    // Referenced again, it is a fresh window.
    forms::Ref<Probe>();
    EXPECT_EQ(Probe::loads, 2);
    EXPECT_THROW(FormRegistry::Get("frmNothing"), std::logic_error);
}

// Left to Qt, every window is a pane ("filler") and a group is named after the group around it.
TEST_F(Forms, ScreenReadersMeetEachWindowByItsRoleAndEachGroupByItsOwnCaption) {
    const auto role = [](const char* name) {
        return QAccessible::queryAccessibleInterface(&FormRegistry::Get(name))->role();
    };
    for (const char* name : {"frmProperties", "frmPropertiesAdvanced", "frmMonitor", "frmAbout"}) {
        EXPECT_EQ(role(name), QAccessible::Dialog) << name;
    }
    EXPECT_EQ(role("frmSplash"), QAccessible::Window);
    const auto caption = [](QWidget* group) {
        return QAccessible::queryAccessibleInterface(group)->text(QAccessible::Name).toStdString();
    };
    const auto& properties = forms::Ref<frmProperties>();
    EXPECT_EQ(caption(properties.fraDrive), "Drive");
    EXPECT_EQ(caption(properties.fraIcon), "Icon Features:");
    EXPECT_EQ(caption(properties.Frame1), "");
    EXPECT_EQ(caption(forms::Ref<frmPropertiesAdvanced>().Frame4), "");
}

}  // namespace

TEST(Icons, TheProgramIconDecodesItsPicturesWhenAsked) {
    test::EnsureQApplication();
    const QIcon icon = forms::ProgramIcon();
    EXPECT_FALSE(icon.isNull());
    EXPECT_EQ(icon.availableSizes(), (QList<QSize>{{16, 16}, {22, 22}, {32, 32}, {48, 48}}));
    const QImage picture = QIcon(icon).pixmap(22, 22).toImage();  // a copy shares the pictures
    ASSERT_EQ(picture.size(), QSize(22, 22));
    EXPECT_GT(qAlpha(picture.pixel(11, 11)), 0);
}
