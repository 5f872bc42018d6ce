// Runs every file of a fuzz target's corpus through the target once, without
// libFuzzer: the normal test suite (any compiler) keeps each input that ever
// found a fault passing. Arguments are files or folders (every regular file in
// them, in name order), taken relative to where the replay starts: a target
// may move into a folder of its own.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

// The replay never mutates: a target's own mutator is not run here.
extern "C" size_t LLVMFuzzerMutate(uint8_t*, size_t size, size_t) { return size; }

namespace {

std::vector<std::string> inputs_of(const std::string& argument) {
    std::vector<std::string> files;
    std::error_code error;
    if (std::filesystem::is_directory(argument, error)) {
        for (const auto& entry : std::filesystem::directory_iterator(argument, error))
            if (entry.is_regular_file()) files.push_back(std::filesystem::absolute(entry.path()).string());
        std::sort(files.begin(), files.end());
    } else {
        files.push_back(std::filesystem::absolute(argument).string());
    }
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...\n", argv[0]);
        return 2;
    }
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::vector<std::string> found = inputs_of(argv[i]);
        files.insert(files.end(), found.begin(), found.end());
    }
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::fprintf(stderr, "%zu inputs replayed\n", files.size());
    return files.empty() ? 1 : 0;
}
