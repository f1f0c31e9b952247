#pragma once
// The settings store: every persisted value goes through these two calls.
#include <cstdint>
#include <string>

namespace bm::modCode {

// The application name under which every section lives.
inline constexpr const char* kAppName = "Bayminder";

// Replaces the key's value in the section. A failure of the store throws RuntimeError.
void WriteSetting(const std::string& section, const std::string& key, const std::string& value);

// Holds the writes made during its life for one write to disk, so that a crash leaves them all or
// none. Commit reports a failure of that write; without it the writes go out unchecked.
class WriteBatch {
  public:
    WriteBatch();
    ~WriteBatch();
    WriteBatch(const WriteBatch&) = delete;
    WriteBatch& operator=(const WriteBatch&) = delete;
    void Commit();

  private:
    bool open_ = true;
};

// The key's value; without a default an absent key throws RuntimeError 6.
std::string ReadSetting(const std::string& section, const std::string& key);
std::string ReadSetting(const std::string& section, const std::string& key,
                        const std::string& defaultValue);
std::string ReadSetting(const std::string& section, const std::string& key,
                        std::int32_t defaultValue);
inline std::string ReadSetting(const std::string& section, const std::string& key,
                               const char* defaultValue) {
    return ReadSetting(section, key, std::string(defaultValue));
}

}  // namespace bm::modCode
