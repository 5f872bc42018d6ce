#pragma once
// The pictures of the working folder's "pic_data", as folder learning reads
// them and the product each one teaches.
#include <string>
#include <vector>

struct PIC_DATA_ENTRY {
    std::string path;
    std::string code;
};

// A folder whose pictures are not read, and why.
struct PIC_DATA_SKIPPED {
    std::string path;
    const char* why;
};

// Every entry in reading order: flat "<code>\<name>" files (the code cut at 15
// characters) in directory order, "." and ".." included as entries that read
// as no picture; and for each "<code>/" folder of the picture store, its files
// sorted by name (folders inside it, and folders whose name can be no code,
// are left out, and listed in `skipped` when it is given). An entry whose code
// breaks the product-code rule (tool_code_fault) is left out with a log line.
std::vector<PIC_DATA_ENTRY> pic_data_entries(std::vector<PIC_DATA_SKIPPED>* skipped = nullptr);
