// qxvisor bench: the engine's speed on this device, per back end.
#include "qxvisor/cli.h"

#include <qx_ai.h>

#include <cstdio>
#include <string>
#include <vector>

int run_bench(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    std::string forwards_text = "20";
    take_option(args, "--forwards", &forwards_text);
    int forwards = 0;
    if (!args.empty() || !parse_int(forwards_text, &forwards) || forwards < 1 || forwards > 1000)
        return fail("bench", "usage: qxvisor bench [--forwards N]   (N from 1 to 1000)");
    std::vector<char> report(4096);
    int length = qx_ai_enginebench(forwards, report.data(), static_cast<int>(report.size()));
    if (length >= static_cast<int>(report.size())) {  // a longer report than expected: run once more with room
        report.resize(static_cast<size_t>(length) + 1);
        length = qx_ai_enginebench(forwards, report.data(), static_cast<int>(report.size()));
    }
    if (length < 0) return fail("bench", result_text(length));
    std::fputs(report.data(), out);
    return 0;
}
