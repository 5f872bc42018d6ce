#include "api/pic_data.h"

#include "support/log.h"
#include "support/tools.h"

#include <sys/stat.h>

#include <algorithm>

namespace {

constexpr size_t kFlatCodeLimit = 15;

bool is_folder(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The picture store keeps one folder per product (pic_data/<code>/<ms>.jpg):
// every picture in it teaches the folder's name.
void add_product_folder(const std::string& folder, const std::string& code, std::vector<PIC_DATA_ENTRY>& entries,
                        std::vector<PIC_DATA_SKIPPED>* skipped) {
    std::vector<std::string> files;
    tools_get_files(folder, files);
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
        if (!is_folder(file)) {
            entries.push_back({file, code});
            continue;
        }
        const std::string name = file.substr(folder.size() + 1);
        if (skipped && name != "." && name != "..")
            skipped->push_back({file, "a folder inside a product's folder is not read"});
    }
}

}  // namespace

std::vector<PIC_DATA_ENTRY> pic_data_entries(std::vector<PIC_DATA_SKIPPED>* skipped) {
    const std::string folder = tool_get_dll_path() + "pic_data";
    std::vector<std::string> names;
    tools_get_files(folder, names);
    std::vector<PIC_DATA_ENTRY> entries;
    for (const std::string& entry : names) {
        const std::string name = entry.substr(folder.size() + 1);
        const bool product_folder = name != "." && name != ".." && is_folder(entry);
        const std::string code = product_folder ? name : name.substr(0, std::min(name.find('\\'), kFlatCodeLimit));
        if (const char* fault = tool_code_fault(code)) {
            logger->info("pic_data entry {} skipped: its product code is {}", name, fault);
        } else if (!product_folder) {
            entries.push_back({entry, code});
        } else if (tool_code_is_safe_folder(name)) {
            add_product_folder(entry, name, entries, skipped);
        } else if (skipped) {
            skipped->push_back({entry, "its name is no product code"});
        }
    }
    return entries;
}
