#include "Settings.h"

#include <nlohmann/json.hpp>

#include <type_traits>
#include <system_error>

#include "Support/AtomicFile.h"
#include "Support/Paths.h"

namespace brindlow {
namespace fs = std::filesystem;
namespace {

// The file's object, or nothing when the file is missing (`corrupt` false) or is
// not a JSON object (`corrupt` true).
std::optional<nlohmann::json> readObject(const fs::path& file, bool& corrupt) {
    corrupt = false;
    const auto bytes = readFile(file);
    if (!bytes) return std::nullopt;
    auto parsed = nlohmann::json::parse(*bytes, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object()) {
        corrupt = true;
        return std::nullopt;
    }
    return parsed;
}

}  // namespace

Settings::Settings(fs::path file) : file_(std::move(file)) {}

fs::path Settings::defaultFile() { return userConfigDirectory() / "settings.json"; }

template <typename Value>
std::optional<Value> Settings::read(std::string_view key) const {
    std::lock_guard lock(mutex_);
    bool corrupt = false;
    const auto object = readObject(file_, corrupt);
    if (!object) return std::nullopt;
    const auto found = object->find(std::string(key));
    if (found == object->end()) return std::nullopt;
    if constexpr (std::is_same_v<Value, bool>) {
        if (!found->is_boolean()) return std::nullopt;
    } else {
        if (!found->is_string()) return std::nullopt;
    }
    return found->get<Value>();
}

std::optional<std::string> Settings::string(std::string_view key) const { return read<std::string>(key); }
std::optional<bool> Settings::flag(std::string_view key) const { return read<bool>(key); }
void Settings::setString(std::string_view key, const std::string& value) { write(key, value); }
void Settings::setFlag(std::string_view key, bool on) { write(key, on); }

template <typename Value>
void Settings::write(std::string_view key, const Value& value) {
    std::lock_guard lock(mutex_);
    bool corrupt = false;
    auto object = readObject(file_, corrupt).value_or(nlohmann::json::object());
    std::error_code ec;
    if (corrupt) {
        // Whatever was there may still matter to someone: set it aside, never drop it.
        fs::rename(file_, fs::path(file_.string() + ".corrupt"), ec);
        if (ec) throw std::system_error(ec, "Could not set aside the unreadable settings file " + file_.string());
    }
    object[std::string(key)] = value;
    if (file_.has_parent_path()) {
        fs::create_directories(file_.parent_path(), ec);
        if (ec) throw std::system_error(ec, "Could not create " + file_.parent_path().string());
    }
    // Replacement characters rather than an exception for a value that is not UTF-8.
    writeFileAtomically(file_, object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

}  // namespace brindlow
