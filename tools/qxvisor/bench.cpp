// qxvisor bench: the engine's speed on this device, per back end, and a whole
// recognition with the store as it is, each beside the load that other
// programs put on the board while it ran.
#include "qxvisor/cli.h"
#include "support/timing.h"

#include <qx_ai.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string load_average() {
    std::ifstream file("/proc/loadavg");
    double one = 0, five = 0, fifteen = 0;
    if (!(file >> one >> five >> fifteen)) return "load average unknown";
    char text[120];
    std::snprintf(text, sizeof text, "load average %.2f %.2f %.2f on %u cores", one, five, fifteen,
                  std::max(1u, std::thread::hardware_concurrency()));
    return text;
}

// A learned product's picture: a real tray photo of this scale.
std::string first_learned_picture() {
    std::error_code ec;
    std::vector<std::string> pictures;
    for (fs::recursive_directory_iterator it("pic_data", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string ext = it->path().extension().string();
        if (it->is_regular_file(ec) && (ext == ".jpg" || ext == ".jpeg" || ext == ".png")) pictures.push_back(it->path().string());
    }
    std::sort(pictures.begin(), pictures.end());
    return pictures.empty() ? std::string() : pictures.front();
}

// TestDetect `times` times on `photo` between one Init and Close.
std::string whole_recognition(const std::string& photo, int times) {
    if (photo.empty()) return "TestDetect: no picture under pic_data/; name one with --photo FILE\n";
    start_library();
    std::vector<double> wall, cpu;
    char codes[QX_CODES_SIZE] = "", session[QX_SESSION_SIZE] = "";
    int result = QX_OK;
    for (int i = 0; i < times && result == QX_OK; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        const double cpu_begin = process_cpu_ms();
        result = TestDetect(photo.c_str(), codes, session);
        cpu.push_back(process_cpu_ms() - cpu_begin);
        wall.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
    }
    Close();
    if (result != QX_OK) return "TestDetect on " + photo + ": " + result_text(result) + "\n";
    char text[200];
    std::snprintf(text, sizeof text, "TestDetect on %s with the store as it is: wall %.2f ms, processor %.2f ms (median of %d), codes %s\n",
                  photo.c_str(), median(wall), median(cpu), times, *codes ? codes : "(none)");
    return text;
}

}  // namespace

int run_bench(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    std::string forwards_text = "20", photo;
    take_option(args, "--forwards", &forwards_text);
    const bool photo_given = take_option(args, "--photo", &photo);
    int forwards = 0;
    if (!args.empty() || !parse_int(forwards_text, &forwards) || forwards < 1 || forwards > 1000)
        return fail("bench", "usage: qxvisor bench [--forwards N] [--photo FILE]   (N from 1 to 1000)");
    if (!photo_given) photo = first_learned_picture();
    std::fprintf(out, "before: %s\n", load_average().c_str());
    std::vector<char> report(4096);
    int length = qx_ai_enginebench(forwards, report.data(), static_cast<int>(report.size()));
    if (length >= static_cast<int>(report.size())) {  // a longer report than expected: run once more with room
        report.resize(static_cast<size_t>(length) + 1);
        length = qx_ai_enginebench(forwards, report.data(), static_cast<int>(report.size()));
    }
    if (length < 0) return fail("bench", result_text(length));
    std::fputs(report.data(), out);
    std::fputs(whole_recognition(photo, forwards).c_str(), out);
    std::fprintf(out, "after: %s\n", load_average().c_str());
    return 0;
}
