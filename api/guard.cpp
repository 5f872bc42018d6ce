#include "api/guard.h"

#include "support/log.h"

#include <exception>

void qx_log_failure(const char* function, const char* what) noexcept {
    try {
        logger->info("{} failed: {}", function, what ? what : "unknown error");
    } catch (...) {
        // Nowhere left to report to; the result code still tells the host.
    }
}
