// Not yet built: answers QX_ERR_INTERNAL until its room lands.
#include "qx_ai.h"

#include "api/guard.h"
#include "support/log.h"

int ExportData(char* out) {
    return qx_guarded("ExportData", QX_ERR_INTERNAL, [] {
        logger->info("ExportData is not available in this build");
        return QX_ERR_INTERNAL;
    });
}

int ImportData(const char* path) {
    return qx_guarded("ImportData", QX_ERR_INTERNAL, [] {
        logger->info("ImportData is not available in this build");
        return QX_ERR_INTERNAL;
    });
}

int ClearTrainedData(void) {
    return qx_guarded("ClearTrainedData", QX_ERR_INTERNAL, [] {
        logger->info("ClearTrainedData is not available in this build");
        return QX_ERR_INTERNAL;
    });
}

int qx_ai_setnorecommend(const char* code) {
    return qx_guarded("qx_ai_setnorecommend", QX_ERR_INTERNAL, [] {
        logger->info("qx_ai_setnorecommend is not available in this build");
        return QX_ERR_INTERNAL;
    });
}
