// qxvisor: the technician's tool over the library's public C interface. Runs in
// the current working directory like a host would: Init, the operation, Close.
#include "qxvisor/cli.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

FILE* out = stdout;

namespace {

void overview() {
    std::fprintf(out, "usage: qxvisor [--verbose] COMMAND [ARGS]   (qxvisor COMMAND --help for details)\n\n");
    for (const Command& c : commands()) std::fprintf(out, "  %-14s %s\n", c.name, c.summary);
    std::fprintf(out, "\nAll files (dev.ini, featurexYz.db, pic_data/, QXPhoto/, tmp/) are in the current folder.\n");
}

// Keeps the library's own prints off the tool's standard output.
void separate_library_output(bool verbose) {
    int saved = dup(STDOUT_FILENO);
    if (saved < 0) return;
    FILE* own = fdopen(saved, "w");
    if (!own) return;
    std::fflush(stdout);
    if (verbose ? dup2(STDERR_FILENO, STDOUT_FILENO) >= 0 : std::freopen("/dev/null", "w", stdout) != nullptr)
        out = own;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool verbose = take_flag(args, "--verbose");
    separate_library_output(verbose);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        overview();
        return args.empty() ? 1 : 0;
    }
    for (const Command& c : commands()) {
        if (args[0] != c.name) continue;
        std::vector<std::string> rest(args.begin() + 1, args.end());
        if (take_flag(rest, "--help") || take_flag(rest, "-h")) {
            std::fprintf(out, "usage: qxvisor %s %s\n\n%s\n%s", c.name, c.usage, c.summary, c.help);
            return 0;
        }
        try {
            return c.run(rest);
        } catch (const std::exception& e) {
            return fail(c.name, e.what());
        }
    }
    return fail(args[0], "unknown command (qxvisor --help lists them)");
}
