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

}  // namespace

void WriteSetting(const std::string& section, const std::string& key, const std::string& value) {
    auto& backing = Backing();
    for (const auto& [k, v] : backing.GetAllSettings(kAppName, section)) {
        if (k == key) {
            platform::Trace(TraceCategory::Settings, "delete " + section + " " + key);
            backing.DeleteSetting(kAppName, section, k);
            break;
        }
    }
    platform::Trace(TraceCategory::Settings,
                    "write " + section + " " + key + " " + platform::TraceQuote(value));
    backing.SaveSetting(kAppName, section, key, value);
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
