#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QString>
#include <cmath>
#include <initializer_list>

#include "platform/drive_queries.h"
#include "platform/sim/machine_file.h"
#include "platform/trace.h"

namespace bm::platform::sim {
namespace {

std::string Quote(const QString& s) {
    return TraceQuote(s.toStdString());
}

[[noreturn]] void Fail(const std::string& where, const std::string& fault) {
    throw MachineFault(where.empty() ? fault : where + ": " + fault);
}

const char* KindOf(const QJsonValue& v) {
    switch (v.type()) {
        case QJsonValue::Null:
            return "null";
        case QJsonValue::Bool:
            return "a boolean";
        case QJsonValue::Double:
            return "a number";
        case QJsonValue::String:
            return "a string";
        case QJsonValue::Array:
            return "an array";
        case QJsonValue::Object:
            return "an object";
        default:
            return "undefined";
    }
}

std::string NumberText(double d) {
    if (std::floor(d) == d && std::fabs(d) < 1e18) {
        return std::to_string(static_cast<long long>(d));
    }
    return QString::number(d, 'g', 17).toStdString();
}

void RejectUnknownFields(const QJsonObject& o, std::initializer_list<const char*> allowed,
                         const std::string& where, const std::string& typeName = {}) {
    for (auto it = o.begin(); it != o.end(); ++it) {
        bool known = false;
        for (const char* name : allowed) {
            known = known || it.key() == QLatin1String(name);
        }
        if (!known) {
            Fail(where, "unknown field " + Quote(it.key()) +
                            (typeName.empty() ? "" : " for a " + typeName + " drive"));
        }
    }
}

std::int64_t Integer(const QJsonValue& v, const char* name, double lo, double hi,
                     const std::string& where) {
    if (!v.isDouble()) {
        Fail(where, std::string(name) + " is " + KindOf(v) + ", not an integer");
    }
    const double d = v.toDouble();
    if (std::floor(d) != d || d < lo || d > hi) {
        Fail(where, std::string(name) + " " + NumberText(d) + " is not an integer from " +
                        NumberText(lo) + " to " + NumberText(hi));
    }
    return static_cast<std::int64_t>(d);
}

bool Boolean(const QJsonValue& v, const char* name, const std::string& where) {
    if (!v.isBool()) {
        Fail(where, std::string(name) + " is " + KindOf(v) + ", not true or false");
    }
    return v.toBool();
}

// Labels and file names: bounded and free of control characters, which no file system reports
// and which would break the one-line messages built from them.
std::string Name(const QJsonValue& v, const std::string& what, const std::string& where) {
    if (!v.isString()) {
        Fail(where, what + " is " + KindOf(v) + ", not a string");
    }
    const QString s = v.toString();
    // C1 controls as well as C0 and DEL: no file system reports them either.
    for (QChar c : s) {
        if (c.category() == QChar::Other_Control) {
            Fail(where, what + " " + Quote(s) + " contains a control character");
        }
    }
    // A lone surrogate, from an escape in the file, would silently become "?" in UTF-8.
    if (!s.isValidUtf16()) {
        Fail(where, what + " is not valid Unicode");
    }
    std::string utf8 = s.toStdString();
    if (utf8.size() > static_cast<size_t>(kMaxNameBytes)) {
        Fail(where, what + " is longer than " + std::to_string(kMaxNameBytes) + " bytes");
    }
    return utf8;
}

SimVolume Volume(const QJsonObject& o, const std::string& where) {
    RejectUnknownFields(o, {"label", "serial", "files"}, where);
    SimVolume vol;
    const QJsonValue label = o.value(QLatin1String("label"));
    if (!label.isUndefined() && !label.isNull()) {
        vol.label = Name(label, "label", where);
    }
    const QJsonValue serial = o.value(QLatin1String("serial"));
    if (!serial.isUndefined()) {
        vol.serial = static_cast<std::uint32_t>(Integer(serial, "serial", 0, 4294967295.0, where));
    }
    const QJsonValue files = o.value(QLatin1String("files"));
    if (!files.isUndefined()) {
        if (!files.isArray()) {
            Fail(where, std::string("files is ") + KindOf(files) + ", not an array");
        }
        const QJsonArray list = files.toArray();
        vol.files.reserve(static_cast<size_t>(list.size()));
        for (qsizetype i = 0; i < list.size(); ++i) {
            const std::string what = "files[" + std::to_string(i) + "]";
            std::string name = Name(list.at(i), what, where);
            if (name.empty() || name.find_first_of("\\/") != std::string::npos) {
                Fail(where, what + " " + TraceQuote(name) + " is not a file name");
            }
            vol.files.push_back(std::move(name));
        }
    }
    return vol;
}

// A medium or disc: null or absent is none, an object is a volume.
std::optional<SimVolume> OptionalVolume(const QJsonObject& drive, const char* field,
                                        const std::string& where) {
    const QJsonValue v = drive.value(QLatin1String(field));
    if (v.isUndefined() || v.isNull()) {
        return std::nullopt;
    }
    if (!v.isObject()) {
        Fail(where, std::string(field) + " is " + KindOf(v) + ", not an object or null");
    }
    return Volume(v.toObject(), where + ": " + field);
}

struct TypeName {
    const char* name;
    int result;
};
constexpr TypeName kTypes[] = {{"removable", kDriveRemovable}, {"fixed", kDriveFixed},
                               {"remote", kDriveRemote},       {"cdrom", kDriveCdRom},
                               {"ramdisk", kDriveRamDisk},     {"unknown", kDriveUnknown}};

SimDrive Drive(const QJsonObject& o, int index, char& letter, const std::string& where) {
    const QJsonValue l = o.value(QLatin1String("letter"));
    if (l.isUndefined()) {
        Fail(where, "letter is missing");
    }
    if (!l.isString()) {
        Fail(where, std::string("letter is ") + KindOf(l) + ", not a string");
    }
    const QString ls = l.toString();
    if (ls.size() != 1 || ls[0] < QLatin1Char('A') || ls[0] > QLatin1Char('Z')) {
        Fail(where, "letter " + Quote(ls) + " is not one upper-case letter A to Z");
    }
    letter = static_cast<char>(ls[0].unicode());

    const QJsonValue t = o.value(QLatin1String("type"));
    if (t.isUndefined()) {
        Fail(where, "type is missing");
    }
    SimDrive d;
    d.index = index;
    const TypeName* type = nullptr;
    for (const TypeName& candidate : kTypes) {
        if (t.isString() && t.toString() == QLatin1String(candidate.name)) {
            type = &candidate;
        }
    }
    if (type == nullptr) {
        Fail(where, "type " + (t.isString() ? Quote(t.toString()) : std::string(KindOf(t))) +
                        " is not removable, fixed, remote, cdrom, ramdisk or unknown");
    }
    d.type = type->result;

    const QJsonValue id = o.value(QLatin1String("id"));
    if (!id.isUndefined() && (d.type == kDriveRemovable || d.type == kDriveCdRom)) {
        d.id = Name(id, "id", where);
        if (d.id.empty()) {
            Fail(where, "id is empty");
        }
    }
    if (d.type != kDriveCdRom) {
        if (d.type == kDriveRemovable) {
            RejectUnknownFields(o, {"letter", "type", "medium", "id"}, where, type->name);
        } else {
            RejectUnknownFields(o, {"letter", "type", "medium"}, where, type->name);
        }
        const QJsonValue medium = o.value(QLatin1String("medium"));
        d.volume = OptionalVolume(o, "medium", where);
        // A fixed, remote or RAM disk is always ready: without a medium it is an empty volume.
        const bool alwaysReady =
            d.type == kDriveFixed || d.type == kDriveRemote || d.type == kDriveRamDisk;
        if (medium.isUndefined() && alwaysReady) {
            d.volume = SimVolume{};
        }
        return d;
    }
    RejectUnknownFields(o, {"letter", "type", "canEject", "door", "disc", "mciOpenError", "id"},
                        where, type->name);
    const QJsonValue canEject = o.value(QLatin1String("canEject"));
    if (!canEject.isUndefined()) {
        d.canEject = Boolean(canEject, "canEject", where);
    }
    const QJsonValue door = o.value(QLatin1String("door"));
    if (!door.isUndefined()) {
        if (door == QJsonValue(QLatin1String("open"))) {
            d.doorOpen = true;
        } else if (door != QJsonValue(QLatin1String("closed"))) {
            Fail(where, "door " + (door.isString() ? Quote(door.toString()) : KindOf(door)) +
                            " is not \"open\" or \"closed\"");
        }
    }
    d.volume = OptionalVolume(o, "disc", where);
    const QJsonValue openError = o.value(QLatin1String("mciOpenError"));
    if (!openError.isUndefined()) {
        d.mciOpenError =
            static_cast<int>(Integer(openError, "mciOpenError", 0, 2147483647.0, where));
    }
    return d;
}

}  // namespace

SimState ParseMachine(const QByteArray& bytes) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        Fail({}, "not JSON: " + error.errorString().toStdString() + " at offset " +
                     std::to_string(error.offset));
    }
    if (!doc.isObject()) {
        Fail({}, "the top level is not an object");
    }
    SimState state;
    state.document = doc.object();
    RejectUnknownFields(state.document, {"drives"}, {});
    const QJsonValue drives = state.document.value(QLatin1String("drives"));
    if (drives.isUndefined()) {
        Fail({}, "drives is missing");
    }
    if (!drives.isArray()) {
        Fail({}, std::string("drives is ") + KindOf(drives) + ", not an array");
    }
    const QJsonArray list = drives.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const int index = static_cast<int>(i);
        const std::string where = "drive " + std::to_string(index + 1);
        if (!list.at(i).isObject()) {
            Fail(where, std::string("is ") + KindOf(list.at(i)) + ", not an object");
        }
        char letter = 0;
        SimDrive d = Drive(list.at(i).toObject(), index, letter, where);
        auto& slot = state.drives[static_cast<size_t>(letter - 'A')];
        if (slot) {
            Fail(where, std::string("letter \"") + letter + "\" appears twice");
        }
        for (const auto& other : state.drives) {
            if (other && !d.id.empty() && other->id == d.id) {
                Fail(where, "id " + TraceQuote(d.id) + " appears twice");
            }
        }
        slot = std::move(d);
    }
    return state;
}

}  // namespace bm::platform::sim
