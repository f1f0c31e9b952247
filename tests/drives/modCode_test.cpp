#include "drives/modCode.h"

#include "support/model_fixture.h"

using namespace bm;
using bm::test::ModelFixture;

using SettingsStore = ModelFixture;

TEST_F(SettingsStore, ReadsWritesAndDefaults) {
    EXPECT_EQ(modCode::ReadSetting("Q", "1", "0"), "0");
    EXPECT_EQ(modCode::ReadSetting("Q", "1", 42), "42");
    try {
        modCode::ReadSetting("Q", "1");
        ADD_FAILURE();
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), 6);
    }
    modCode::WriteSetting("@", "5", "/first");
    modCode::WriteSetting("@", "5", "/second");
    ASSERT_EQ(settings.sections["@"].size(), 1U);
    EXPECT_EQ(modCode::ReadSetting("@", "5"), "/second");
    modCode::WriteSetting("D", "7", "");
    EXPECT_EQ(modCode::ReadSetting("D", "7", "default"), "");
    modCode::WriteSetting("D", "01", "x");
    EXPECT_THROW(modCode::ReadSetting("D", "1"), RuntimeError);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"write @ 5 \"/first\"", "delete @ 5",
                                                 "write @ 5 \"/second\"", "write D 7 \"\"",
                                                 "write D 01 \"x\""}));
}

TEST_F(SettingsStore, FailuresReachTheCaller) {
    settings.failAfterWrites = 0;
    try {
        modCode::WriteSetting("D", "1", "3");
        ADD_FAILURE();
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), kErrPathFileAccess);
        EXPECT_NE(std::string(e.what()).find("Bayminder.ini"), std::string::npos);
    }
}
