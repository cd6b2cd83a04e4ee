#pragma once

#include <filesystem>

namespace brindlow {

// The user's freedesktop.org trash: a folder with `files/` holding what was thrown
// away and `info/` holding one `<name>.trashinfo` per item with its original path
// and deletion date, so that file managers can list and restore it.
class Trash {
public:
    explicit Trash(std::filesystem::path root);
    // $XDG_DATA_HOME/Trash, else ~/.local/share/Trash.
    static Trash home();

    const std::filesystem::path& root() const { return root_; }

    // Moves `item` (a file or a folder) into the trash under a name not yet used
    // there and answers that trashed path. Throws std::system_error; on failure the
    // item stays where it was and no info file is left behind.
    std::filesystem::path moveIn(const std::filesystem::path& item) const;

private:
    std::filesystem::path root_;
};

}  // namespace brindlow
