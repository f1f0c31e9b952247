#include "drives/modMain.h"
#include "support/model_fixture.h"

using namespace bm;
using namespace bm::modMain;
using bm::test::FakeDrive;
using bm::test::ModelFixture;

using DoorControl = ModelFixture;

namespace {
int CountSent(const std::vector<std::string>& sent, const std::string& what) {
    return static_cast<int>(std::count(sent.begin(), sent.end(), what));
}
}  // namespace

TEST_F(DoorControl, ProbesAtMostOncePerIntervalPerDrive) {
    AddCd('D', true);
    drives.drives['A'] = bm::test::Disk(platform::kDriveRemovable, true);
    FindDrives();
    DriveRecord& cd = gDrives[0];
    DriveRecord& floppy = gDrives[1];
    mci.sent.clear();
    drives.listings.clear();
    RefreshDriveStatus(cd);
    RefreshDriveStatus(cd);
    EXPECT_EQ(CountSent(mci.sent, "status cd media present"), 1);
    host.Advance(999);
    RefreshDriveStatus(cd);
    EXPECT_EQ(CountSent(mci.sent, "status cd media present"), 1);
    host.Advance(1);
    RefreshDriveStatus(cd);
    EXPECT_EQ(CountSent(mci.sent, "status cd media present"), 2);

    RefreshDriveStatus(floppy);
    host.Advance(5999);
    RefreshDriveStatus(floppy);
    EXPECT_EQ(CountSent(drives.listings, "A:\\"), 2);  // media test and label read
    host.Advance(1);
    RefreshDriveStatus(floppy);
    EXPECT_EQ(CountSent(drives.listings, "A:\\"), 4);
    EXPECT_EQ(floppy.MediaPresent, vbTrue);
    EXPECT_EQ(floppy.DoorUncertain, vbFalse);
}

TEST_F(DoorControl, DoorStateFollowsTheTable) {
    AddCd('D', true);
    AddCd('E', false, false);
    FindDrives();
    DriveRecord& d = gDrives[1];
    DriveRecord& e = gDrives[0];
    auto state = [](const DriveRecord& r) {
        return std::to_string(r.MediaPresent) + std::to_string(r.DoorClosed) +
               std::to_string(r.DoorUncertain);
    };
    EXPECT_EQ(state(d), "000");
    RefreshDriveStatus(d);
    EXPECT_EQ(state(d), "-1-10");  // media: closed, certain
    mci.cds['D'].disc = false;
    host.Advance(1000);
    RefreshDriveStatus(d);
    EXPECT_EQ(state(d), "00-1");  // taken out: open, uncertain
    host.Advance(1000);
    d.DoorClosed = vbTrue;
    RefreshDriveStatus(d);
    EXPECT_EQ(state(d), "0-1-1");  // still none: unchanged, uncertain
    host.Advance(1000);
    OpenDoor(d);
    EXPECT_EQ(state(d), "000");
    host.Advance(1000);
    CloseDoor(d);
    EXPECT_EQ(state(d), "0-10");

    RefreshDriveStatus(e);
    EXPECT_EQ(state(e), "00-1");  // empty and cannot close: closed is not assumed

    // A floppy gets no command but its door fields all the same.
    drives.drives['A'] = bm::test::Disk(platform::kDriveRemovable, false);
    DriveRecord floppy = ProbeDrive("A");
    mci.sent.clear();
    floppy.DoorClosed = vbTrue;
    OpenDoor(floppy);
    EXPECT_TRUE(mci.sent.empty());
    EXPECT_EQ(state(floppy), "000");
}

TEST_F(DoorControl, AFailedOpenIsToldAndReadsAsNoMedia) {
    AddCd('D', true);
    FindDrives();
    DriveRecord& d = gDrives[0];
    const std::vector<std::pair<int, std::string>> cases = {
        {265, "Bayminder has screwed up\r265"},
        {291, "Another program is using the cd\rBayminder has tried to rectify this\r291"},
        {5,
         "Please report to the makers of Bayminder\rthat you have MCI ERROR 5\r"
         "rewards will be offered..."},
    };
    for (const auto& [code, text] : cases) {
        mci.cds['D'].openError = code;
        host.boxes.clear();
        mci.sent.clear();
        host.Advance(1000);
        d.MediaPresent = vbTrue;
        RefreshDriveStatus(d);
        ASSERT_EQ(host.boxes.size(), 1U) << code;
        EXPECT_EQ(host.boxes[0].prompt, text);
        EXPECT_EQ(host.boxes[0].style, 0);
        EXPECT_EQ(host.boxes[0].title, "Bayminder");
        EXPECT_EQ(d.MediaPresent, vbFalse);
        EXPECT_EQ(CountSent(mci.sent, "Close cd"), code == 265 ? 1 : 0);
    }
    EXPECT_EQ(Lines().back(), "close cd => 263 \"\"");
    // 289: the alias is open already; no message, the commands go through it.
    mci.cds['D'].openError = 0;
    std::string reply;
    mci.SendString("open D: type cdaudio alias cd", reply);
    host.boxes.clear();
    host.Advance(1000);
    RefreshDriveStatus(d);
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(d.MediaPresent, vbTrue);

    // A fault told once waits for an open that works; the same fault asked again each second
    // would stack a modal box a second. At the end of the session it is never shown.
    mci.cds['D'].openError = 291;
    host.boxes.clear();
    for (int tick = 0; tick < 3; ++tick) {
        host.Advance(1000);
        RefreshDriveStatus(d);
    }
    EXPECT_EQ(host.boxes.size(), 1U);
    mci.cds['D'].openError = 0;
    host.Advance(1000);
    RefreshDriveStatus(d);
    mci.cds['D'].openError = 291;
    host.Advance(1000);
    {
        const QuietDeviceFaults quiet;
        RefreshDriveStatus(d);
    }
    EXPECT_EQ(host.boxes.size(), 1U);
    EXPECT_NE(std::find_if(Lines().begin(), Lines().end(),
                           [](const std::string& l) { return l.rfind("not shown: 0 ", 0) == 0; }),
              Lines().end());
    host.Advance(1000);
    RefreshDriveStatus(d);
    EXPECT_EQ(host.boxes.size(), 2U);  // nobody saw the traced one
}

TEST_F(DoorControl, RepliesCountInAnyCaseAndAreCut) {
    AddCd('D', false);
    FindDrives();
    DriveRecord& d = gDrives[0];
    std::string answer;
    mci.script = [&answer](const std::string& cmd, std::string& reply) -> std::optional<int> {
        if (cmd != "status cd media present" && cmd != "capability cd can eject") {
            return std::nullopt;
        }
        reply = answer;
        return 0;
    };
    for (const char* yes : {"TRUE", "True", "tRuE"}) {
        answer = yes;
        host.Advance(1000);
        RefreshDriveStatus(d);
        EXPECT_EQ(d.MediaPresent, vbTrue) << yes;
        EXPECT_EQ(QueryCanEject(d), vbTrue) << yes;
    }
    std::int32_t error = 0;
    answer = std::string(100, 'X') + "\0tail";
    EXPECT_EQ(SendMci("status cd media present", error), std::string(63, 'x'));
    answer = std::string("tr\0ue", 5);
    EXPECT_EQ(SendMci("status cd media present", error), "tr");
    EXPECT_EQ(Lines().back(), "status cd media present => 0 \"tr\"");
}

TEST_F(DoorControl, TrayToggleTouchesOnlyDrivesThatCanDoBoth) {
    AddCd('D', true);
    AddCd('E', false);
    AddCd('F', true, false);
    FindDrives();
    DriveRecord& f = gDrives[0];
    DriveRecord& e = gDrives[1];
    DriveRecord& d = gDrives[2];
    f.TrayToggle = 1;  // chosen, but cannot eject: left alone
    e.DoorClosed = vbFalse;
    e.CanEject = vbTrue;
    e.CanClose = vbFalse;
    e.TrayToggle = 1;
    ToggleTrayDoors();
    EXPECT_TRUE(mci.cds['D'].doorOpen);  // had a disc: opened
    EXPECT_EQ(CountSent(mci.sent, "set cd door open"), 1);
    EXPECT_EQ(CountSent(mci.sent, "set cd door closed"), 0);
    EXPECT_EQ(d.DoorClosed, vbFalse);

    e.CanClose = vbTrue;
    mci.cds['E'].doorOpen = true;
    host.Advance(1000);
    ToggleTrayDoors();  // each by its own state: D closes, E (open, empty) closes too
    EXPECT_FALSE(mci.cds['D'].doorOpen);
    EXPECT_FALSE(mci.cds['E'].doorOpen);
    host.Advance(1000);
    ToggleTrayDoors();
    EXPECT_TRUE(mci.cds['D'].doorOpen);
    EXPECT_TRUE(mci.cds['E'].doorOpen);

    // A refused move (no tray motor, a mounted disc) leaves the record where the door is, so
    // the next toggle tries the other way instead of the move that failed.
    mci.script = [](const std::string& cmd, std::string&) -> std::optional<int> {
        return cmd == "set cd door closed" ? std::optional<int>(262) : std::nullopt;
    };
    host.Advance(1000);
    ToggleTrayDoors();
    EXPECT_EQ(d.DoorClosed, vbFalse);
    EXPECT_EQ(d.DoorUncertain, vbTrue);
    mci.script = nullptr;
    host.Advance(1000);
    ToggleTrayDoors();
    EXPECT_FALSE(mci.cds['D'].doorOpen);
}

TEST_F(DoorControl, ReentryThroughPendingEventsKeepsOneProbe) {
    AddCd('D', true);
    FindDrives();
    DriveRecord& d = gDrives[0];
    mci.sent.clear();
    // A click handled inside the refresh's own DoEvents refreshes the same drive first.
    host.Post([&d] { RefreshDriveStatus(d); });
    RefreshDriveStatus(d);
    EXPECT_EQ(CountSent(mci.sent, "status cd media present"), 1);
    EXPECT_EQ(d.MediaPresent, vbTrue);
}

// A tray that the disc's mounts hold shut (the Linux backend's codes 512 to 515): the record
// stays where the door is, and the user is told why, once, with the drive named.
TEST_F(DoorControl, ATrayHeldShutByTheDiscsMountsIsToldOncePerFault) {
    AddCd('D', true);
    drives.drives['D'].label = "MY DATA";
    FindDrives();
    DriveRecord& d = gDrives[0];
    RefreshDriveStatus(d);
    int answer = platform::kMciDiscInUse;
    mci.script = [&answer](const std::string& cmd, std::string&) -> std::optional<int> {
        return cmd == "set cd door open" && answer != 0 ? std::optional<int>(answer) : std::nullopt;
    };
    host.boxes.clear();
    host.Advance(1000);
    OpenDoor(d);
    EXPECT_FALSE(mci.cds['D'].doorOpen);
    EXPECT_EQ(d.DoorClosed, vbTrue);
    EXPECT_EQ(d.DoorUncertain, vbTrue);
    EXPECT_EQ(d.MediaPresent, vbTrue);
    ASSERT_EQ(host.boxes.size(), 1U);
    EXPECT_EQ(host.boxes[0].prompt,
              "Bayminder cannot open the tray of drive D: (My Data).\rA program is using files on "
              "the disc.\rClose them (or leave the disc's folders), then try again.");
    EXPECT_EQ(host.boxes[0].style, platform::kVbExclamation);
    EXPECT_EQ(host.boxes[0].title, "Bayminder");

    // The same fault again: traced, not shown; the next toggle still tries to open.
    host.Advance(1000);
    ToggleTrayDoors();
    EXPECT_EQ(host.boxes.size(), 1U);
    EXPECT_EQ(CountSent(mci.sent, "set cd door open"), 2);
    EXPECT_NE(std::find_if(Lines().begin(), Lines().end(),
                           [](const std::string& l) {
                               return l.rfind(
                                          "not shown: 48 \"Bayminder\" \"Bayminder cannot open "
                                          "the tray of drive D:",
                                          0) == 0;
                           }),
              Lines().end());

    // Another fault is told.
    const std::pair<int, std::string> reasons[] = {
        {platform::kMciNotAuthorized, "The system does not allow you to unmount the disc."},
        {platform::kMciDiscMounted,
         "The disc is mounted, and without the udisks2 service Bayminder cannot unmount it.\r"
         "Unmount it first, then try again."},
        {platform::kMciUnmountFailed, "The system could not unmount the disc."},
    };
    for (const auto& [code, reason] : reasons) {
        answer = code;
        host.Advance(1000);
        OpenDoor(d);
        ASSERT_FALSE(host.boxes.empty());
        EXPECT_EQ(host.boxes.back().prompt,
                  "Bayminder cannot open the tray of drive D: (My Data).\r" + reason);
        EXPECT_EQ(d.DoorClosed, vbTrue);
        EXPECT_EQ(d.DoorUncertain, vbTrue);
    }
    const std::size_t told = host.boxes.size();
    EXPECT_EQ(told, 4U);

    // Once the tray has opened, the same fault is told again.
    answer = 0;
    host.Advance(1000);
    OpenDoor(d);
    EXPECT_TRUE(mci.cds['D'].doorOpen);
    EXPECT_EQ(d.DoorClosed, vbFalse);
    EXPECT_EQ(d.DoorUncertain, vbFalse);
    mci.cds['D'].doorOpen = false;
    answer = platform::kMciUnmountFailed;
    host.Advance(1000);
    OpenDoor(d);
    EXPECT_EQ(host.boxes.size(), told + 1);

    // A refusal of the drive itself (262) stays untold, as before.
    answer = platform::kMciHardware;
    host.Advance(1000);
    OpenDoor(d);
    EXPECT_EQ(host.boxes.size(), told + 1);

    // During the end of the session nobody may be there to answer: only traced.
    {
        const QuietDeviceFaults quiet;
        answer = platform::kMciNotAuthorized;
        host.Advance(1000);
        OpenDoor(d);
    }
    EXPECT_EQ(host.boxes.size(), told + 1);
    EXPECT_EQ(d.DoorUncertain, vbTrue);
}

TEST_F(DoorControl, ADiscWithoutALabelIsNamedByItsDriveAlone) {
    AddCd('E', true);
    FindDrives();
    mci.script = [](const std::string& cmd, std::string&) -> std::optional<int> {
        return cmd == "set cd door open" ? std::optional<int>(platform::kMciNotAuthorized)
                                         : std::nullopt;
    };
    OpenDoor(gDrives[0]);
    ASSERT_EQ(host.boxes.size(), 1U);
    EXPECT_EQ(host.boxes[0].prompt,
              "Bayminder cannot open the tray of drive E:.\rThe system does not allow you to "
              "unmount the disc.");
}
