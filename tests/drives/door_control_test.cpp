#include <functional>
#include <optional>
#include <tuple>

#include "support/model_fixture.h"

using namespace bm;
using namespace bm::modMain;

using DoorControl = bm::test::ModelFixture;

namespace {
// Media present, door closed, door uncertain.
std::string State(const DriveRecord& r) {
    return std::to_string(r.MediaPresent) + std::to_string(r.DoorClosed) +
           std::to_string(r.DoorUncertain);
}
}  // namespace

TEST_F(DoorControl, ProbesAtMostOncePerIntervalPerDriveEvenWhenReentered) {
    AddCd('D', true);
    drives.drives['A'] = {platform::kDriveRemovable, true};
    FindDrives();
    mci.sent.clear();
    drives.listings.clear();
    // A floppy's probe lists its root twice: the media test and the label.
    const std::tuple<DriveRecord&, int, std::function<int()>> cases[] = {
        {gDrives[0], 1000, [&] { return Count(mci.sent, "status cd media present"); }},
        {gDrives[1], 6000, [&] { return Count(drives.listings, "A:\\") / 2; }}};
    for (const auto& [drive, interval, probes] : cases) {
        // A click handled inside the refresh's own DoEvents refreshes the same drive first.
        host.Post([&drive] { RefreshDriveStatus(drive); });
        RefreshDriveStatus(drive);
        RefreshDriveStatus(drive);
        EXPECT_EQ(probes(), 1) << interval;
        host.Advance(interval - 1);
        RefreshDriveStatus(drive);
        EXPECT_EQ(probes(), 1) << interval;
        host.Advance(1);
        RefreshDriveStatus(drive);
        EXPECT_EQ(probes(), 2) << interval;
    }
    EXPECT_EQ(State(gDrives[1]), "-100");

    // Events run while a door command waits (udisks2 unmounting): another CD drive's refresh
    // then would read the waiting door's alias, so it asks nothing and its record stays.
    AddCd('E', true);
    FindDrives();
    DriveRecord& e = gDrives[0];
    host.Advance(1000);
    mci.script = [&](const std::string& command, std::string&) -> std::optional<int> {
        if (command == "set cd door open") {
            RefreshDriveStatus(e);
        }
        return std::nullopt;
    };
    mci.sent.clear();
    OpenDoor(gDrives[1]);
    EXPECT_EQ(Count(mci.sent, "open E: type cdaudio alias cd shareable wait"), 0);
    EXPECT_EQ(State(e), "000");
}

TEST_F(DoorControl, DoorStateFollowsTheProbesAndTheMoves) {
    AddCd('D', true);
    AddCd('E', false, false);
    drives.drives['A'] = {platform::kDriveRemovable, false};
    FindDrives();
    DriveRecord& e = gDrives[0];
    DriveRecord& d = gDrives[1];
    DriveRecord& a = gDrives[2];
    EXPECT_EQ(State(d), "000");
    const std::tuple<DriveRecord&, std::function<void()>, const char*> steps[] = {
        {d, [&] { RefreshDriveStatus(d); }, "-1-10"},  // media: closed, certain
        {d, [&] { mci.cds['D'].disc = false, RefreshDriveStatus(d); }, "00-1"},  // taken out: open
        {d, [&] { d.DoorClosed = vbTrue, RefreshDriveStatus(d); }, "0-1-1"},  // still none: as was
        {d, [&] { OpenDoor(d); }, "000"},
        {d, [&] { CloseDoor(d); }, "0-10"},
        {e, [&] { RefreshDriveStatus(e); }, "00-1"},  // empty and cannot close: not assumed closed
        {a, [&] { mci.sent.clear(), a.DoorClosed = vbTrue, OpenDoor(a); }, "000"},
    };
    for (const auto& [drive, step, state] : steps) {
        host.Advance(1000);
        step();
        EXPECT_EQ(State(drive), state) << drive.Letter;
    }
    EXPECT_TRUE(mci.sent.empty()) << "a floppy gets no command, but its door fields all the same";
}

TEST_F(DoorControl, AFailedOpenIsToldAndReadsAsNoMedia) {
    AddCd('D', true);
    FindDrives();
    DriveRecord& d = gDrives[0];
    const std::pair<int, std::string> cases[] = {
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
        EXPECT_EQ(host.boxes, (std::vector<test::ShownBox>{{text, 0, "Bayminder"}})) << code;
        EXPECT_EQ(d.MediaPresent, vbFalse);
        EXPECT_EQ(Count(mci.sent, "Close cd"), code == 265 ? 1 : 0);
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
}

// A tray that the disc's mounts hold shut (the Linux backend's codes 512 to 515): the record
// stays where the door is, and the user is told why, with the drive named.
TEST_F(DoorControl, ATrayHeldShutIsToldWhyAndTheRecordStaysWhereTheDoorIs) {
    AddCd('D', true);
    AddCd('E', true);
    drives.drives['D'].label = "MY DATA";
    FindDrives();
    const std::string named = "Bayminder cannot open the tray of drive D: (My Data).\r";
    const std::tuple<char, int, std::string> cases[] = {
        {'D', platform::kMciDiscInUse,
         named + "A program is using files on the disc.\rClose them (or leave the disc's folders), "
                 "then try again."},
        {'D', platform::kMciDiscMounted,
         named + "The disc is mounted, and without the udisks2 service Bayminder cannot unmount "
                 "it.\rUnmount it first, then try again."},
        {'D', platform::kMciUnmountFailed, named + "The system could not unmount the disc."},
        {'D', platform::kMciHardware, ""},  // the drive's own refusal stays untold
        {'E', platform::kMciNotAuthorized,  // a disc without a label: the drive alone
         "Bayminder cannot open the tray of drive E:.\rThe system does not allow you to unmount "
         "the disc."},
    };
    std::vector<test::ShownBox> told;
    for (const auto& [letter, code, text] : cases) {
        mci.cds[letter].ejectError = code;
        host.Advance(1000);
        OpenDoor(Drive(letter));
        EXPECT_FALSE(mci.cds[letter].doorOpen);
        EXPECT_EQ(State(Drive(letter)), "-1-1-1") << code;
        if (!text.empty()) {
            told.push_back({text, platform::kVbExclamation, "Bayminder"});
        }
    }
    EXPECT_EQ(host.boxes, told);
}

// The tooltip and the dialogs ask every second: a fault told once waits for an open or a move
// that works, or a modal box a second would stack up. At the end of the session nobody may be
// there to answer, so it is only traced.
TEST_F(DoorControl, EachFaultIsToldOnceUntilTheDeviceWorksAndNeverDuringTheSessionEnd) {
    AddCd('D', true);
    FindDrives();
    DriveRecord& d = gDrives[0];
    struct Kind {
        std::function<void(int)> fault;
        std::function<void()> act;
        int first, second, style;
    };
    const Kind kinds[] = {
        {[&](int code) { mci.cds['D'].openError = code; }, [&] { RefreshDriveStatus(d); }, 291, 5,
         0},
        {[&](int code) { mci.cds['D'].ejectError = code; }, [&] { OpenDoor(d); },
         platform::kMciDiscInUse, platform::kMciUnmountFailed, platform::kVbExclamation},
    };
    for (const auto& kind : kinds) {
        host.boxes.clear();
        Lines().clear();
        const auto told = [&](int code) {
            kind.fault(code);
            host.Advance(1000);
            kind.act();
            return host.boxes.size();
        };
        EXPECT_EQ(told(kind.first), 1U);
        EXPECT_EQ(told(kind.first), 1U);
        EXPECT_EQ(Traced("not shown: " + std::to_string(kind.style) + " \"Bayminder\""), 1);
        EXPECT_EQ(told(kind.second), 2U);  // another fault is told
        EXPECT_EQ(told(0), 2U);
        {
            const QuietDeviceFaults quiet;
            EXPECT_EQ(told(kind.second), 2U);
        }
        EXPECT_EQ(told(kind.second), 3U) << "nobody saw the traced one";
        kind.fault(0);
    }
}

TEST_F(DoorControl, RepliesCountInAnyCaseAndAreCut) {
    AddCd('D', false);
    FindDrives();
    DriveRecord& d = gDrives[0];
    std::string answer = "tRuE";
    mci.script = [&answer](const std::string& cmd, std::string& reply) -> std::optional<int> {
        if (cmd != "status cd media present" && cmd != "capability cd can eject") {
            return std::nullopt;
        }
        reply = answer;
        return 0;
    };
    host.Advance(1000);
    RefreshDriveStatus(d);
    EXPECT_EQ(d.MediaPresent, vbTrue);
    EXPECT_EQ(QueryCanEject(d), vbTrue);
    std::int32_t error = 0;
    answer = std::string(100, 'X');
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
    f.TrayToggle = f.CanClose = 1;  // chosen, closes, but cannot eject: left alone
    e.DoorClosed = vbFalse;
    e.CanClose = vbFalse;
    ToggleTrayDoors();
    EXPECT_TRUE(mci.cds['D'].doorOpen);  // had a disc: opened
    EXPECT_EQ(Count(mci.sent, "set cd door open"), 1);
    EXPECT_EQ(Count(mci.sent, "set cd door closed"), 0);
    EXPECT_EQ(d.DoorClosed, vbFalse);

    e.CanClose = vbTrue;
    mci.cds['E'].doorOpen = true;
    // Each by its own state: D closes, E (open, empty) closes too; then both open.
    for (const bool open : {false, true}) {
        host.Advance(1000);
        ToggleTrayDoors();
        EXPECT_EQ(mci.cds['D'].doorOpen, open);
        EXPECT_EQ(mci.cds['E'].doorOpen, open);
    }
}
