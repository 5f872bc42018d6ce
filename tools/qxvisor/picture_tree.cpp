#include "qxvisor/picture_tree.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace fs = std::filesystem;

static bool is_picture(const fs::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".jpg" || ext == ".jpeg" || ext == ".png";
}

std::map<std::string, std::vector<std::string>> picture_kinds(const std::string& root) {
    std::map<std::string, std::vector<std::string>> kinds;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && is_picture(entry.path()))
            kinds[entry.path().parent_path().filename().string()].push_back(entry.path().string());
    }
    for (auto& kind : kinds) std::sort(kind.second.begin(), kind.second.end());
    return kinds;
}
