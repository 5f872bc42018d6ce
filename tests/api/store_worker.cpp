// A host that learns or imports without end in the current folder, for the
// tests that kill a process in the middle of a store replacement.
//   store_worker learn         - LearnFromPicData over and over
//   store_worker import FILE   - ImportData(FILE) over and over
#include "qx_ai.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2 || Init() != 0) return 2;
    const bool learn = std::strcmp(argv[1], "learn") == 0;
    if (!learn && (argc < 3 || std::strcmp(argv[1], "import") != 0)) return 2;
    // The parent waits for this line before it starts its clock.
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        int result = learn ? LearnFromPicData() : ImportData(argv[2]);
        if (result != 0) return 3;
    }
}
