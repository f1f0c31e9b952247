// Bad machine files: each is refused with one line naming the file and the fault.
#include <gmock/gmock.h>

#include "platform/sim/sim_machine.h"
#include "temp_machine.h"

namespace bm::platform::sim {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string Wrap(const std::string& drive) {
    return R"({"drives":[)" + drive + "]}";
}

class MachineFileTest : public TempMachine {
  protected:
    std::string LoadError() {
        try {
            SimMachine::Load(path_);
        } catch (const SimFileError& e) {
            return e.what();
        }
        return "(loaded)";
    }
};

TEST_F(MachineFileTest, BadInputsGiveOneLineNamingTheFileAndTheFault) {
    const std::string longLabel(256, 'x');
    const std::string cases[][2] = {
        {"{", "not JSON: "},
        {"", "not JSON: "},
        {"{\"drives\":[{\"letter\":\"A\",\"type\":\"fixed\",\"medium\":{\"label\":\"\xff\"}}]}",
         "not JSON: "},
        {"[]", "the top level is not an object"},
        {"{}", "drives is missing"},
        {R"({"drives":{}})", "drives is an object, not an array"},
        {R"({"drives":[], "extra":1})", "unknown field \"extra\""},
        {Wrap("1"), "drive 1: is a number, not an object"},
        {Wrap(R"({"type":"fixed"})"), "drive 1: letter is missing"},
        {Wrap(R"({"letter":"D","type":"fixed"},{"letter":"D","type":"cdrom"})"),
         "drive 2: letter \"D\" appears twice"},
        {Wrap(R"({"letter":"AB","type":"fixed"})"), "drive 1: letter \"AB\" is not one"},
        {Wrap(R"({"letter":"1","type":"fixed"})"), "drive 1: letter \"1\" is not one"},
        {Wrap(R"({"letter":"d","type":"fixed"})"), "drive 1: letter \"d\" is not one"},
        {Wrap(R"({"letter":4,"type":"fixed"})"), "drive 1: letter is a number, not a string"},
        {Wrap(R"({"letter":"A"})"), "drive 1: type is missing"},
        {Wrap(R"({"letter":"A","type":"floppy"})"), "drive 1: type \"floppy\" is not removable"},
        {Wrap(R"({"letter":"A","type":"removable","medium":{"serial":-1}})"),
         "drive 1: medium: serial -1 is not an integer from 0 to 4294967295"},
        {Wrap(R"({"letter":"A","type":"removable","medium":{"serial":4294967296}})"),
         "drive 1: medium: serial 4294967296 is not an integer"},
        {Wrap(R"({"letter":"A","type":"removable","medium":{"serial":1.5}})"),
         "drive 1: medium: serial 1.5 is not an integer"},
        {Wrap(R"({"letter":"A","type":"removable","medium":{"serial":"12"}})"),
         "drive 1: medium: serial is a string, not an integer"},
        {Wrap(R"({"letter":"D","type":"cdrom","door":"ajar"})"),
         "drive 1: door \"ajar\" is not \"open\" or \"closed\""},
        {Wrap(R"({"letter":"D","type":"cdrom","mciOpenError":"x"})"),
         "drive 1: mciOpenError is a string, not an integer"},
        {Wrap(R"({"letter":"D","type":"cdrom","canEject":"yes"})"),
         "drive 1: canEject is a string, not true or false"},
        {Wrap(R"({"letter":"A","type":"removable","medium":"disk"})"),
         "drive 1: medium is a string, not an object or null"},
        {Wrap(R"({"letter":"A","type":"removable","medium":{"files":["a",1]}})"),
         "drive 1: medium: files[1] is a number, not a string"},
        {Wrap(R"({"letter":"A","type":"removable","medium":{"files":["a\\b"]}})"),
         "drive 1: medium: files[0] \"a\\\\b\" is not a file name"},
        {Wrap(R"({"letter":"A","type":"removable","medium":{"labl":"X"}})"),
         "drive 1: medium: unknown field \"labl\""},
        {Wrap(R"({"letter":"A","type":"removable","disc":null})"),
         "drive 1: unknown field \"disc\" for a removable drive"},
        {Wrap(R"({"letter":"D","type":"cdrom","medium":null})"),
         "drive 1: unknown field \"medium\" for a cdrom drive"},
        {Wrap(R"({"letter":"D","type":"cdrom","disc":{"label":"A\u0007\nB"}})"),
         "drive 1: disc: label \"A\\x07\\nB\" contains a control character"},
        {Wrap(R"({"letter":"A","type":"fixed","medium":{"label":")" + longLabel + "\"}}"),
         "drive 1: medium: label is longer than 255 bytes"},
    };
    for (const auto& [json, fault] : cases) {
        SCOPED_TRACE(json);
        Write(json);
        const std::string message = LoadError();
        EXPECT_THAT(message, StartsWith(path_ + ": "));
        EXPECT_THAT(message, HasSubstr(fault));
        EXPECT_EQ(message.find('\n'), std::string::npos);
    }
}

TEST_F(MachineFileTest, FileThatCannotBeReadIsNamed) {
    EXPECT_EQ(LoadError(), path_ + ": cannot be read: No such file or directory");
    path_ = dir_;
    EXPECT_EQ(LoadError(), dir_ + ": is not a regular file");
    path_ = dir_ + "/new\nline.json";
    EXPECT_THAT(LoadError(), StartsWith(dir_ + "/new\\x0aline.json: cannot be read"));
}

TEST_F(MachineFileTest, LimitsThatAreAccepted) {
    const std::string label(255, 'x');
    Write(Wrap(
        R"({"letter":"A","type":"removable","medium":{"label":")" + label +
        R"(","serial":4294967295}},{"letter":"B","type":"removable","medium":{"label":"Ünïcødé"}})"));
    auto machine = SimMachine::Load(path_);
    EXPECT_EQ(machine->Dir("A:\\", kAttrVolume), label);
    std::uint32_t serial = 0;
    EXPECT_TRUE(machine->GetVolumeSerial("A:\\", serial));
    EXPECT_EQ(serial, 4294967295u);
    EXPECT_EQ(machine->Dir("B:\\", kAttrVolume), "Ünïcødé");
}

}  // namespace
}  // namespace bm::platform::sim
