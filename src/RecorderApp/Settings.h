#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace brindlow {

// A store of small user preferences by key.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // Nothing when the key is absent or holds something other than a string.
    virtual std::optional<std::string> string(std::string_view key) const = 0;
    // Throws std::system_error when the value cannot be stored.
    virtual void setString(std::string_view key, const std::string& value) = 0;
    // An on-or-off preference; nothing when absent or not a flag.
    virtual std::optional<bool> flag(std::string_view key) const {
        const auto value = string(key);
        if (value == "true") return true;
        if (value == "false") return false;
        return std::nullopt;
    }
    virtual void setFlag(std::string_view key, bool on) { setString(key, on ? "true" : "false"); }
};

// Preferences kept in one JSON object in a file. Every read goes to the file, so
// other processes' changes are seen; every write replaces the file atomically and
// keeps the keys it does not know. A file that is not a JSON object reads as empty
// and, before the first write replaces it, is kept beside it as "<name>.corrupt".
class Settings final : public SettingsStore {
public:
    explicit Settings(std::filesystem::path file);
    // $XDG_CONFIG_HOME/BrindlowRecorder/settings.json, else under ~/.config.
    static std::filesystem::path defaultFile();

    const std::filesystem::path& file() const { return file_; }

    std::optional<std::string> string(std::string_view key) const override;
    void setString(std::string_view key, const std::string& value) override;
    // Kept as JSON booleans.
    std::optional<bool> flag(std::string_view key) const override;
    void setFlag(std::string_view key, bool on) override;

private:
    template <typename Value>
    std::optional<Value> read(std::string_view key) const;
    template <typename Value>
    void write(std::string_view key, const Value& value);

    std::filesystem::path file_;
    // Serialises this process's read-modify-write of the file.
    mutable std::mutex mutex_;
};

}  // namespace brindlow
