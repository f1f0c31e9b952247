#include "platform/settings/qt_settings_backing.h"

#include <gmock/gmock.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSettings>
#include <QStringList>

#include <filesystem>
#include <fstream>
#include <random>

#include "platform/errors.h"
#include "platform/trace.h"
#include "support/model_fixture.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace ::testing;  // NOLINT: matchers
using bm::RuntimeError;
using bm::platform::QtSettingsBacking;

namespace {

class IniStore : public bm::test::ModelFixture {
  protected:
    std::string Ini() const { return temp / "Bayminder/Bayminder.ini"; }
    std::string ReadIni() const { return bm::test::ReadFile(Ini()); }
    bm::test::TempDir temp;
    const std::string& dir = temp.path;
};

}  // namespace

TEST_F(IniStore, RoundTripsEveryTextAndSyncsEachWritePrivately) {
    const mode_t mask = ::umask(0);
    QtSettingsBacking store(dir);
    EXPECT_EQ(store.FilePath("Bayminder"), Ini());
    std::vector<std::pair<std::string, std::string>> values = {
        {"5", "True"},  {"1", "3"},   {"01", ""},        {"x", "a,b"},
        {"/", "slash"}, {"%", "pct"}, {"", "empty key"}, {"y", "@Variant(bogus)"}};
    values.emplace_back("z", "line\nbreak \"quoted\" \\ ;#=");
    for (const auto& [k, v] : values) {
        store.SaveSetting("Bayminder", "D", k, v);
    }
    store.SaveSetting("Bayminder", "@", "5", "/opt/bayminder/bin");
    ::umask(mask);
    EXPECT_NE(ReadIni().find("True"), std::string::npos);  // on disk without any explicit flush
    // Owner only, whatever the umask, and still so after the atomic replaces of each write.
    EXPECT_EQ(fs::status(dir + "/Bayminder").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(Ini()).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    QtSettingsBacking reopened(dir);
    auto entries = reopened.GetAllSettings("Bayminder", "D");
    for (const auto& kv : values) {
        EXPECT_NE(std::find(entries.begin(), entries.end(), kv), entries.end()) << kv.first;
    }
    EXPECT_EQ(entries.size(), values.size());
    EXPECT_EQ(reopened.GetAllSettings("Bayminder", "@"),
              (bm::platform::SettingsBacking::Entries{{"5", "/opt/bayminder/bin"}}));
    EXPECT_TRUE(reopened.GetAllSettings("Bayminder", "E").empty());
    reopened.DeleteSetting("Bayminder", "D", "5");
    reopened.SaveSetting("Bayminder", "D", "1", "2");
    EXPECT_EQ(QtSettingsBacking(dir).GetAllSettings("Bayminder", "D").size(), values.size() - 1);
}

TEST_F(IniStore, AnUnwritableStoreFailsWithTheFileAndTheReason) {
    // A file where the folder should be stops root too, unlike permissions.
    std::ofstream(dir + "/Bayminder") << "not a folder";
    QtSettingsBacking store(dir);
    EXPECT_THAT([&] { store.SaveSetting("Bayminder", "D", "1", "3"); },
                Throws<RuntimeError>(
                    AllOf(Property(&RuntimeError::Number, bm::kErrPathFileAccess),
                          Property(&RuntimeError::what, StrEq(Ini() + ": Not a directory")))));
    // The run goes on with what it wrote, in memory.
    EXPECT_EQ(store.GetAllSettings("Bayminder", "D").size(), 1U);

    // Once the folder can be written again, so can the store.
    fs::remove(dir + "/Bayminder");
    EXPECT_NO_THROW(store.SaveSetting("Bayminder", "D", "2", "1"));
    EXPECT_EQ(QtSettingsBacking(dir).GetAllSettings("Bayminder", "D").size(), 2U);
}

// Where the saving child tells how far it got: one byte as each key goes to the store.
static int gProgressFd = -1;

TEST_F(IniStore, AKillDuringSavesLeavesEveryDriveSectionWholeOldOrNew) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 200; ++round) {
        int progress[2];
        ASSERT_EQ(::pipe(progress), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Saves four drives for ever, all five check boxes of a drive 0 or all 1 by turns.
            ::close(progress[0]);
            gProgressFd = progress[1];
            bm::platform::SetTraceSink([](bm::platform::TraceCategory, const std::string&) {
                if (::write(gProgressFd, "x", 1) != 1) {
                    ::_exit(1);
                }
            });
            QtSettingsBacking store(dir);
            auto services = bm::platform::Get();
            services.settings = &store;
            bm::platform::Install(services);
            for (std::int32_t turn = round;; ++turn) {
                for (char letter : std::string("ADEF")) {
                    bm::DriveRecord d;
                    d.Letter = std::string(1, letter);
                    d.DriveType = 3;
                    d.Monitor = d.Eject = d.Notify = d.StatusToolTip = d.TrayToggle = turn % 2;
                    bm::modMain::SaveDriveSettings(d);
                }
            }
        }
        ::close(progress[1]);
        // Stopped as a random key goes to the store, the child is killed in the midst of a save.
        const int keys = std::uniform_int_distribution<int>(1, 80)(random);
        char byte = 0;
        for (int i = 0; i < keys && ::read(progress[0], &byte, 1) == 1; ++i) {
        }
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(progress[0]);

        QSettings ini(QString::fromStdString(Ini()), QSettings::IniFormat);
        ASSERT_EQ(ini.status(), QSettings::NoError) << "round " << round << ":\n" << ReadIni();
        for (const QString& group : ini.childGroups()) {
            ini.beginGroup(group);
            QStringList values;
            for (const char* key : {"2", "3", "4", "7", "8"}) {
                values << ini.value(QString::fromLatin1(key)).toString();
            }
            ASSERT_EQ(ini.childKeys().size(), 8) << "round " << round << ":\n" << ReadIni();
            ASSERT_EQ(values.count(values[0]), 5)
                << "round " << round << " [" << group.toStdString()
                << "] mixed: " << values.join(u' ').toStdString();
            ini.endGroup();
        }
    }
}

TEST_F(IniStore, PuttingBackTheValueTheFileHoldsWritesNothing) {
    QtSettingsBacking store(dir);
    auto inode = [&] {
        struct stat st {};
        return ::stat(Ini().c_str(), &st) == 0 ? st.st_ino : 0;
    };
    auto rewrite = [&](const std::string& value) {
        store.DeleteSetting("Bayminder", "@", "5");
        store.SaveSetting("Bayminder", "@", "5", value);
    };
    store.SaveSetting("Bayminder", "@", "5", "/a");
    const auto written = inode();  // every write replaces the file
    rewrite("/a");
    EXPECT_EQ(inode(), written);
    EXPECT_FALSE(fs::exists(Ini() + ".lock"));
    rewrite("/b");
    EXPECT_NE(inode(), written);
    EXPECT_NE(ReadIni().find("5=/b"), std::string::npos);

    // Changed by hand since it was read, the file is written whatever the store remembers.
    std::ofstream(Ini()) << "[%40]\n5=/by/hand\n";
    rewrite("/b");
    EXPECT_NE(ReadIni().find("5=/b"), std::string::npos);
    EXPECT_EQ(ReadIni().find("by/hand"), std::string::npos);

    // A delete held back for the save still shows to a read in between, and still lands.
    store.DeleteSetting("Bayminder", "@", "5");
    EXPECT_TRUE(store.GetAllSettings("Bayminder", "@").empty());
    store.SaveSetting("Bayminder", "D", "1", "3");
    EXPECT_EQ(ReadIni().find("5="), std::string::npos);
}
