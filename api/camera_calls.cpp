// Not yet built: answers QX_ERR_INTERNAL until its room lands.
#include "qx_ai.h"

#include "api/guard.h"
#include "support/log.h"

int SetCameraId(int camera_id) {
    return qx_guarded("SetCameraId", QX_ERR_INTERNAL, [] {
        logger->info("SetCameraId is not available in this build");
        return QX_ERR_INTERNAL;
    });
}

int qx_ai_reopencamera(int camera_id) {
    return qx_guarded("qx_ai_reopencamera", QX_ERR_INTERNAL, [] {
        logger->info("qx_ai_reopencamera is not available in this build");
        return QX_ERR_INTERNAL;
    });
}

int GetScaleBitmap(char* raw_path, char* crop_path) {
    return qx_guarded("GetScaleBitmap", QX_ERR_INTERNAL, [] {
        logger->info("GetScaleBitmap is not available in this build");
        return QX_ERR_INTERNAL;
    });
}

int GetScaleSetting(int* x, int* y, int* width, int* height) {
    return qx_guarded("GetScaleSetting", QX_ERR_INTERNAL, [] {
        logger->info("GetScaleSetting is not available in this build");
        return QX_ERR_INTERNAL;
    });
}

int SaveScaleSetting(int x, int y, int width, int height) {
    return qx_guarded("SaveScaleSetting", QX_ERR_INTERNAL, [] {
        logger->info("SaveScaleSetting is not available in this build");
        return QX_ERR_INTERNAL;
    });
}
