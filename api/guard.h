#pragma once
// The C boundary: every exported function runs its body through qx_guarded, so
// no exception leaves the library; a failure is logged and becomes `failure`.
// The locks around the body are the entry gate's (api/gate.h).
#include "store/CppSQLite3.h"
#include "support/log.h"

#include <exception>
#include <utility>

template <typename Body>
int qx_guarded(const char* function, int failure, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const CppSQLite3Exception& e) {
        // The message carries the code: "SQLITE_BUSY[5]: database is locked".
        qx_log_failure(function, e.errorMessage());
    } catch (const std::exception& e) {
        qx_log_failure(function, e.what());
    } catch (...) {
        qx_log_failure(function, nullptr);
    }
    return failure;
}
