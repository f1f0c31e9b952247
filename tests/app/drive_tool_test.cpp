#include "app/drive_tool.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/temp_dir.h"

using bm::app::RunDriveTool;

namespace {

class DriveTool : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::copy_file(BM_EXAMPLES "/demo-machine.json", machine); }
    int Run(const std::vector<std::string>& args) {
        out.str("");
        err.str("");
        return RunDriveTool(args, out, err, dir / "config");
    }
    std::string Machine() const { return bm::test::ReadFile(machine); }
    bm::test::TempDir dir;
    std::string machine = dir / "machine.json";
    std::ostringstream out, err;
};

}  // namespace

TEST_F(DriveTool, ListsTheExampleMachineInTableOrder) {
    ASSERT_EQ(Run({"--simulate", machine, "list", "--json"}), 0) << err.str();
    const std::string first = out.str();
    // Highest letter first; the fixed disk is not watched.
    const auto f = first.find("\"Letter\": \"F\""), e = first.find("\"Letter\": \"E\"");
    const auto d = first.find("\"Letter\": \"D\""), a = first.find("\"Letter\": \"A\"");
    ASSERT_TRUE(f < e && e < d && d < a && a != std::string::npos) << first;
    EXPECT_EQ(first.find("\"Letter\": \"C\""), std::string::npos);
    EXPECT_NE(first.find("\"VolumeLabel\": \"Holiday\""), std::string::npos);
    EXPECT_NE(first.find("\"VolumeLabel\": \"Myfloppy\""), std::string::npos);
    EXPECT_NE(first.find("\"TypeName\": \"Removable\", \"CanEject\": false, \"CanClose\": "
                         "false, \"DoorClosed\": false, \"MediaPresent\": true, "
                         "\"DoorUncertain\": false, \"VolumeLabel\": \"Mystick\", "
                         "\"SerialNumber\": -1412567278, \"Monitor\": 0"),
              std::string::npos)
        << first;
}

TEST_F(DriveTool, DoorCommandsMoveTheSimulatedDoor) {
    ASSERT_EQ(Run({"--simulate", machine, "open", "D"}), 0) << err.str();
    EXPECT_NE(out.str().find("\"DoorClosed\": false"), std::string::npos);
    EXPECT_NE(Machine().find("\"open\""), std::string::npos);
    ASSERT_EQ(Run({"--simulate", machine, "close", "d:"}), 0);
    EXPECT_NE(out.str().find("\"DoorClosed\": true"), std::string::npos);
    EXPECT_EQ(Machine().find("\"open\""), std::string::npos);
    // Toggle: D holds a disc and opens; E is empty, its door not known closed, so it closes.
    ASSERT_EQ(Run({"--simulate", machine, "toggle"}), 0);
    EXPECT_NE(Machine().find("\"open\""), std::string::npos);
}

TEST_F(DriveTool, ExitStatusesAndMessages) {
    EXPECT_EQ(Run({"--simulate", machine, "refresh", "C"}), 1);
    EXPECT_EQ(err.str(), "bayminder-drives: drive C: is not watched\n");
    EXPECT_EQ(Run({"--simulate", machine, "refresh", "DD"}), 2);
    EXPECT_EQ(Run({"--simulate", machine, "eject", "D"}), 2);
    EXPECT_EQ(Run({"--simulate"}), 2);
    EXPECT_EQ(Run({}), 2);
    EXPECT_EQ(Run({"--simulate", dir / "none.json", "list"}), 2);
    EXPECT_NE(err.str().find(dir / "none.json"), std::string::npos);

    std::ofstream(machine) << R"({"drives": [{"letter": "C", "type": "fixed"}]})";
    EXPECT_EQ(Run({"--simulate", machine, "list", "--json"}), 1);
    EXPECT_EQ(out.str(), "[]\n");
    EXPECT_EQ(err.str(), "bayminder-drives: no drive is watched\n");

    // A failed open shows up as a message line on standard error.
    std::ofstream(machine) << R"({"drives": [{"letter": "D", "type": "cdrom", "mciOpenError": 291,
                                  "disc": {"label": "X"}}]})";
    EXPECT_EQ(Run({"--simulate", machine, "refresh", "D"}), 0);
    EXPECT_NE(err.str().find("Bayminder: Another program is using the cd Bayminder has tried to "
                             "rectify this 291\n"),
              std::string::npos)
        << err.str();
    EXPECT_NE(out.str().find("\"MediaPresent\": false"), std::string::npos);
}

TEST_F(DriveTool, WatchPrintsEachChangeAsItHappensAndEndsCleanlyOnAnInterrupt) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // Each flush of the stream is a write to the pipe: what watch prints, as it prints it.
    __gnu_cxx::stdio_filebuf<char> buf(fds[1], std::ios::out);
    std::ostream lines(&buf);
    int status = -1;
    std::thread watch([&] {
        status = RunDriveTool({"--simulate", machine, "watch"}, lines, err, dir / "config");
    });
    // The table is found (A: is the last drive it stores) before the machine changes.
    const std::string ini = dir / "config/Bayminder/Bayminder.ini";
    for (int i = 0; i < 500 && bm::test::ReadFile(ini).find("[A]") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string text = Machine();
    text.insert(text.rfind(']'), R"(, {"letter": "G", "type": "cdrom", "id": "usb-dvd"})");
    bm::test::WriteFile(machine + ".new", text);
    std::filesystem::rename(machine + ".new", machine);
    pollfd p{fds[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    char got[4096] = {};
    ASSERT_GT(::read(fds[0], got, sizeof got - 1), 0);
    std::raise(SIGINT);
    watch.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::string(got).substr(0, 53),
              R"({"change":"added","letter":"G","drive":{"Letter": "G")");
    EXPECT_NE(std::string(got).find(R"("Identity": "usb-dvd", "Gone": false}}
)"),
              std::string::npos)
        << got;
    ::close(fds[0]);  // the other end is the stream's
}
