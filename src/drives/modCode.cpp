#include "drives/modCode.h"

#include <optional>

#include "platform/errors.h"
#include "platform/services.h"
#include "platform/trace.h"

namespace bm::modCode {
namespace {

using platform::TraceCategory;

platform::SettingsBacking& Backing() {
    auto* backing = platform::Get().settings;
    if (backing == nullptr) {
        throw RuntimeError(kErrPathFileAccess, "no settings store");
    }
    return *backing;
}

std::optional<std::string> Find(const std::string& section, const std::string& key) {
    for (const auto& [k, v] : Backing().GetAllSettings(kAppName, section)) {
        if (k == key) {
            return v;
        }
    }
    return std::nullopt;
}

void TraceSetting(const char* what, const std::string& section, const std::string& key,
                  const std::string* value) {
    if (!platform::TraceEnabled(TraceCategory::Settings)) {
        return;
    }
    std::string line = what;
    line += ' ';
    line += section;
    line += ' ';
    line += key;
    if (value != nullptr) {
        line += ' ';
        line += platform::TraceQuote(*value);
    }
    platform::Trace(TraceCategory::Settings, line);
}

}  // namespace

void WriteSetting(const std::string& section, const std::string& key, const std::string& value) {
    auto& backing = Backing();
    for (const auto& [k, v] : backing.GetAllSettings(kAppName, section)) {
        if (k == key) {
            TraceSetting("delete", section, key, nullptr);
            backing.DeleteSetting(kAppName, section, k);
            break;
        }
    }
    TraceSetting("write", section, key, &value);
    backing.SaveSetting(kAppName, section, key, value);
}

WriteBatch::WriteBatch() {
    Backing().BeginBatch();
}

WriteBatch::~WriteBatch() {
    if (open_) {
        try {
            Backing().EndBatch();
        } catch (const RuntimeError&) {  // NOLINT(bugprone-empty-catch): already failing
        }
    }
}

void WriteBatch::Commit() {
    open_ = false;
    Backing().EndBatch();
}

std::string ReadSetting(const std::string& section, const std::string& key) {
    if (auto value = Find(section, key)) {
        return *value;
    }
    throw RuntimeError(kErrOverflow, "no setting " + section + " " + key);
}

std::string ReadSetting(const std::string& section, const std::string& key,
                        const std::string& defaultValue) {
    return Find(section, key).value_or(defaultValue);
}

std::string ReadSetting(const std::string& section, const std::string& key,
                        std::int32_t defaultValue) {
    return Find(section, key).value_or(std::to_string(defaultValue));
}

}  // namespace bm::modCode
