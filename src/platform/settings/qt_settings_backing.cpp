#include "platform/settings/qt_settings_backing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSettings>
#include <QStringList>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "platform/errors.h"

namespace bm::platform {
namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// QSettings treats '/' as a group separator and '\' as its escape; names with them, or empty
// names, are kept apart by escaping them ourselves.
QString EncodeName(const std::string& name) {
    if (name.empty()) {
        return QStringLiteral("%E");
    }
    QString out;
    for (QChar c : Q(name)) {
        if (c == u'%') {
            out += QStringLiteral("%25");
        } else if (c == u'/') {
            out += QStringLiteral("%2F");
        } else if (c == u'\\') {
            out += QStringLiteral("%5C");
        } else {
            out += c;
        }
    }
    return out;
}

std::string DecodeName(const QString& name) {
    if (name == QStringLiteral("%E")) {
        return {};
    }
    QString out = name;
    out.replace(QStringLiteral("%2F"), QStringLiteral("/"))
        .replace(QStringLiteral("%5C"), QStringLiteral("\\"))
        .replace(QStringLiteral("%25"), QStringLiteral("%"));
    return out.toStdString();
}

std::string ValueText(const QVariant& v) {
    // A hand-edited value with commas reads as a list; give it back as it was written.
    if (v.typeId() == QMetaType::QStringList) {
        return v.toStringList().join(u',').toStdString();
    }
    return v.toString().toStdString();
}

std::string Errno(int error) {
    return std::strerror(error);
}

// mkdir -p, reporting the first failure.
int MakePath(const std::string& dir) {
    std::string partial;
    for (size_t i = 0; i <= dir.size(); ++i) {
        if (i == dir.size() || (dir[i] == '/' && i > 0)) {
            partial = dir.substr(0, i);
            if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
                return errno;
            }
            struct stat st {};
            if (::stat(partial.c_str(), &st) != 0) {
                return errno;
            }
            if (!S_ISDIR(st.st_mode)) {
                return ENOTDIR;
            }
        }
    }
    return 0;
}

// The folder and the file are the user's alone. QSettings would make them as the umask allows;
// made here first, the file keeps its mode through every atomic replace.
void CreatePrivately(const std::string& filePath) {
    if (MakePath(filePath.substr(0, filePath.rfind('/'))) != 0) {
        return;  // the write that follows reports why
    }
    const int fd = ::open(filePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
    }
}

// QSettings guards each write with "<file>.lock", into which it writes its pid at once. A crash
// between creating and filling it leaves an empty lock, which QSettings would wait 30 s on at
// every write. A second old and still empty, it is left over: take it away before the first write.
void ClearAbandonedLock(const std::string& filePath) {
    const std::string lock = filePath + ".lock";
    for (int look = 0; look < 2; ++look) {
        struct stat st {};
        if (::stat(lock.c_str(), &st) != 0 || st.st_size != 0 || !S_ISREG(st.st_mode)) {
            return;
        }
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const long long ageMs = (now.tv_sec - st.st_mtim.tv_sec) * 1000LL +
                                (now.tv_nsec - st.st_mtim.tv_nsec) / 1000000;
        if (ageMs >= 1000 || ageMs < 0) {
            ::unlink(lock.c_str());
            return;
        }
        const long long waitMs = 1000 - ageMs;
        const timespec wait{static_cast<time_t>(waitMs / 1000), (waitMs % 1000) * 1000000L};
        ::nanosleep(&wait, nullptr);
    }
}

std::optional<std::array<long long, 4>> StampOf(const std::string& filePath) {
    struct stat st {};
    if (::stat(filePath.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return std::array<long long, 4>{
        static_cast<long long>(st.st_ino), static_cast<long long>(st.st_size),
        static_cast<long long>(st.st_mtim.tv_sec), static_cast<long long>(st.st_mtim.tv_nsec)};
}

}  // namespace

std::string WriteFailureReason(const std::string& filePath) {
    const std::string dir = filePath.substr(0, filePath.rfind('/'));
    if (int error = MakePath(dir)) {
        return Errno(error);
    }
    struct stat st {};
    if (::stat(filePath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return Errno(EISDIR);
    }
    std::string probe = dir + "/.bayminder-probe-XXXXXX";
    std::vector<char> name(probe.begin(), probe.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        return Errno(errno);
    }
    std::string reason;
    const std::vector<char> block(4096, '\n');
    if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()) ||
        ::fsync(fd) != 0) {
        reason = Errno(errno);
    }
    ::close(fd);
    ::unlink(name.data());
    return reason.empty() ? "the file could not be replaced" : reason;
}

QtSettingsBacking::QtSettingsBacking(std::string configDir)
    : configDir_(configDir.empty() ? DefaultConfigDir() : std::move(configDir)) {}

QtSettingsBacking::~QtSettingsBacking() {
    ApplyRemoval();
}

std::string QtSettingsBacking::DefaultConfigDir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config";
}

std::string QtSettingsBacking::FilePath(const std::string& app) const {
    return configDir_ + "/" + app + "/" + app + ".ini";
}

QSettings& QtSettingsBacking::Store(const std::string& app) {
    auto& slot = stores_[app];
    if (slot) {
        return *slot;
    }
    const QString path = Q(FilePath(app));
    CreatePrivately(FilePath(app));
    ClearAbandonedLock(FilePath(app));
    slot = std::make_unique<QSettings>(path, QSettings::IniFormat);
    (void)slot->allKeys();  // the file is read on first use; its status is known only then
    if (slot->status() == QSettings::FormatError) {
        // Keep what still parses, put the damaged file aside and start a clean one, so that the
        // next writes are not refused and nothing readable is lost.
        std::vector<std::pair<QString, QVariant>> salvaged;
        for (const QString& key : slot->allKeys()) {
            if (!key.isEmpty() && !key.endsWith(u'/')) {
                salvaged.emplace_back(key, slot->value(key));
            }
        }
        slot.reset();
        const std::string damaged = FilePath(app) + ".damaged";
        ::rename(FilePath(app).c_str(), damaged.c_str());
        CreatePrivately(FilePath(app));
        slot = std::make_unique<QSettings>(path, QSettings::IniFormat);
        for (const auto& [key, value] : salvaged) {
            slot->setValue(key, value);
        }
        slot->sync();
    }
    Synced(app);
    return *slot;
}

void QtSettingsBacking::Synced(const std::string& app) {
    if (auto stamp = StampOf(FilePath(app))) {
        stamps_[app] = *stamp;
    } else {
        stamps_.erase(app);
    }
}

bool QtSettingsBacking::UnchangedOnDisk(const std::string& app) const {
    const auto known = stamps_.find(app);
    return known != stamps_.end() && StampOf(FilePath(app)) == known->second;
}

void QtSettingsBacking::Fail(const std::string& app) const {
    throw RuntimeError(kErrPathFileAccess,
                       FilePath(app) + ": " + WriteFailureReason(FilePath(app)));
}

SettingsBacking::Entries QtSettingsBacking::GetAllSettings(const std::string& app,
                                                           const std::string& section) {
    ApplyRemoval();
    QSettings& s = Store(app);
    Entries entries;
    s.beginGroup(EncodeName(section));
    for (const QString& key : s.childKeys()) {
        entries.emplace_back(DecodeName(key), ValueText(s.value(key)));
    }
    s.endGroup();
    return entries;
}

void QtSettingsBacking::Renew(const std::string& app) {
    // QSettings keeps a failed status for good; a fresh object on the same file, given every
    // value of the old one, tries the write again.
    auto& slot = stores_[app];
    CreatePrivately(FilePath(app));
    auto fresh = std::make_unique<QSettings>(Q(FilePath(app)), QSettings::IniFormat);
    const QStringList keep = slot->allKeys();
    for (const QString& key : fresh->allKeys()) {
        if (!keep.contains(key)) {
            fresh->remove(key);
        }
    }
    for (const QString& key : keep) {
        fresh->setValue(key, slot->value(key));
    }
    slot = std::move(fresh);
}

void QtSettingsBacking::SaveSetting(const std::string& app, const std::string& section,
                                    const std::string& key, const std::string& value) {
    // A delete and a save of the value the file already holds change nothing on disk, and every
    // start saves the program's folder so: that needs no write, and no wait for the disk.
    if (removed_ && removed_->app == app && removed_->section == section && removed_->key == key &&
        removed_->value == value && UnchangedOnDisk(app)) {
        removed_.reset();
        return;
    }
    ApplyRemoval();
    if (Store(app).status() != QSettings::NoError) {
        Renew(app);
    }
    QSettings& s = Store(app);
    s.beginGroup(EncodeName(section));
    s.setValue(EncodeName(key), Q(value));
    s.endGroup();
    if (batchDepth_ > 0) {
        unsynced_.insert(app);
        return;
    }
    s.sync();
    if (s.status() != QSettings::NoError) {
        Fail(app);
    }
    Synced(app);
}

void QtSettingsBacking::BeginBatch() {
    ApplyRemoval();
    ++batchDepth_;
}

void QtSettingsBacking::EndBatch() {
    if (batchDepth_ == 0 || --batchDepth_ > 0) {
        return;
    }
    const std::set<std::string> apps = std::move(unsynced_);
    unsynced_.clear();
    for (const std::string& app : apps) {
        QSettings& s = Store(app);
        s.sync();
        if (s.status() != QSettings::NoError) {
            Fail(app);
        }
        Synced(app);
    }
}

void QtSettingsBacking::DeleteSetting(const std::string& app, const std::string& section,
                                      const std::string& key) {
    ApplyRemoval();
    // Not synced on its own: the save that follows in the same write carries both to disk, so a
    // crash or a failed save never leaves the key absent from the file. Outside a batch it is
    // held back until that save, which may put the same value back.
    QSettings& s = Store(app);
    s.beginGroup(EncodeName(section));
    const QString name = EncodeName(key);
    if (batchDepth_ == 0 && s.status() == QSettings::NoError && s.contains(name)) {
        removed_ = Removed{app, section, key, ValueText(s.value(name))};
    } else {
        s.remove(name);
    }
    s.endGroup();
}

void QtSettingsBacking::ApplyRemoval() {
    if (!removed_) {
        return;
    }
    const Removed removed = std::move(*removed_);
    removed_.reset();
    QSettings& s = Store(removed.app);
    s.beginGroup(EncodeName(removed.section));
    s.remove(EncodeName(removed.key));
    s.endGroup();
}

}  // namespace bm::platform
