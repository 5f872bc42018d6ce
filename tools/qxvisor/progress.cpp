#include "qxvisor/progress.h"

#include <unistd.h>

#include <cstdio>

Progress::Progress(std::string label, size_t total)
    : label_(std::move(label)), total_(total), shown_(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
}

void Progress::step(size_t done) {
    if (!shown_ || total_ == 0) return;
    const int width = 30;
    int filled = static_cast<int>(width * done / total_);
    std::fprintf(stderr, "\r%s [%.*s%*s] %zu/%zu", label_.c_str(), filled,
                 "##############################", width - filled, "", done, total_);
    std::fflush(stderr);
}
