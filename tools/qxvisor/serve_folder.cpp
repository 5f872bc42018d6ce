// Room to write in the working folder. A full disk makes the library's calls
// fail with codes that name what they could not do (records, binding), not
// why: the set-up page asks the folder itself.
#include "qxvisor/serve.h"

#include <sys/statvfs.h>

#include <cstdio>

namespace {

// Below this the library cannot be trusted to write a picture, a record or a binding.
constexpr unsigned long long kFullBelow = 1ull << 20;

std::string size_text(unsigned long long bytes) {
    char text[32];
    if (bytes < 10240) std::snprintf(text, sizeof text, "%llu bytes", bytes);
    else if (bytes < (10ull << 20)) std::snprintf(text, sizeof text, "%llu KB", bytes >> 10);
    else if (bytes < (10ull << 30)) std::snprintf(text, sizeof text, "%llu MB", bytes >> 20);
    else std::snprintf(text, sizeof text, "%llu GB", bytes >> 30);
    return text;
}

}  // namespace

FolderRoom folder_room() {
    FolderRoom room;
    struct statvfs fs {};
    if (statvfs(".", &fs) != 0) return room;
    room.free_bytes = static_cast<long long>(static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize);
    room.read_only = (fs.f_flag & ST_RDONLY) != 0;
    if (room.read_only)
        room.problem = "the working folder is on a read-only disk: nothing can be written";
    else if (static_cast<unsigned long long>(room.free_bytes) < kFullBelow)
        room.problem = "the working folder's disk is full (" + size_text(static_cast<unsigned long long>(room.free_bytes)) +
                       " free)";
    room.free_text = size_text(static_cast<unsigned long long>(room.free_bytes));
    return room;
}

std::string folder_room_json() {
    FolderRoom room = folder_room();
    return JsonObject().add("free", room.free_bytes).add("free_text", room.free_text).add("read_only", room.read_only)
        .add("problem", room.problem).text();
}
