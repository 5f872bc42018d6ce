// The host's camera and crop-area calls.
#include "qx_ai.h"

#include "api/context.h"
#include "api/gate.h"
#include "camera/camhp.h"
#include "support/log.h"

#include <unistd.h>

#include <cstdio>

namespace {

// Before Init and after Close there is no camera context to work on.
bool no_context(const char* function) {
    if (params) return false;
    logger->info("{}: Init has not run", function);
    return true;
}

void copy_out(char* out, const char* text) {
    if (out) std::snprintf(out, QX_PATH_SIZE, "%s", text);
}

}  // namespace

int SetCameraId(int camera_id) {
    return qx_gated("SetCameraId", QX_ERR_CAMERA_OPEN, QxAccess::kCamera, [camera_id] {
        if (no_context("SetCameraId")) return QX_ERR_CAMERA_OPEN;
        _CAMHP_CAP_& cam = params->cam;
        logger->info("开始打开摄像头:{}", camera_id);
        cam.camera_num = camera_id;
        logger->info("摄像头的序号为:{}", cam.camera_num);
        camhp_write_setting_from_file(&cam);
        const int ret = camhp_open_camera(&cam);
        logger->info("ret:{}", ret);
        if (ret != 0) return QX_ERR_CAMERA_OPEN;
        logger->info("结束打开摄像头");
        return QX_OK;
    });
}

int qx_ai_reopencamera(int camera_id) {
    return qx_gated("qx_ai_reopencamera", QX_ERR_CAMERA_OPEN, QxAccess::kCamera, [camera_id] {
        if (no_context("qx_ai_reopencamera")) return QX_ERR_CAMERA_OPEN;
        _CAMHP_CAP_& cam = params->cam;
        camhp_release_camera(&cam);
        usleep(1000);
        logger->info("开始打开摄像头:{}", camera_id);
        cam.camera_num = camera_id;
        camhp_write_setting_from_file(&cam);
        if (camhp_open_camera(&cam) != 0) return QX_ERR_CAMERA_OPEN;
        logger->info("结束打开摄像头");
        return QX_OK;
    });
}

int GetScaleBitmap(char* raw_path, char* crop_path) {
    return qx_gated("GetScaleBitmap", QX_OK, QxAccess::kCamera, [raw_path, crop_path] {
        copy_out(raw_path, "");
        copy_out(crop_path, "");
        if (no_context("GetScaleBitmap")) return QX_OK;
        _CAMHP_CAP_& cam = params->cam;
        // The test picture always shows the crop, whatever dev.ini says.
        struct RestoreSaveImage {
            _CAMHP_CAP_& cam;
            bool saved;
            ~RestoreSaveImage() { cam.save_image = saved; }
        } restore{cam, cam.save_image};
        cam.save_image = true;

        _CAMHP_IMAGE_ image = {};
        camhp_get_scale_bitmap(&cam, &image);
        copy_out(raw_path, image.raw_path);
        logger->info("rawPath:{}", image.raw_path);
        copy_out(crop_path, image.crop_path);
        logger->info("cropPath:{}", image.crop_path);
        return QX_OK;
    });
}

int GetScaleSetting(int* x, int* y, int* width, int* height) {
    return qx_gated("GetScaleSetting", QX_OK, QxAccess::kCamera, [=] {
        const _CAMHP_CAP_* cam = params ? &params->cam : nullptr;
        if (x) *x = cam ? cam->x : 0;
        if (y) *y = cam ? cam->y : 0;
        if (width) *width = cam ? cam->width : 0;
        if (height) *height = cam ? cam->height : 0;
        return QX_OK;
    });
}

int SaveScaleSetting(int x, int y, int width, int height) {
    return qx_gated("SaveScaleSetting", QX_ERR_INTERNAL, QxAccess::kCamera, [=] {
        if (no_context("SaveScaleSetting")) return QX_ERR_NOT_READY;
        // In 64 bits, so that a huge x or width cannot wrap round into the frame.
        const bool fits = static_cast<long long>(x) + width <= CAMHP_FRAME_WIDTH &&
                          static_cast<long long>(y) + height <= CAMHP_FRAME_HEIGHT;
        if (!fits || width < 0 || height < 0) {
            logger->info("Scale not match 640*480 x={},y={},w={},h={}", x, y, width, height);
            return QX_ERR_CROP_OUTSIDE;
        }
        // A zero width or height is the host's way to clear the crop area: the
        // rectangle is kept as given (GetScaleSetting reads it back), the file
        // keeps only the camera number, as after a first start.
        _CAMHP_CAP_& cam = params->cam;
        const int before[4] = {cam.x, cam.y, cam.width, cam.height};
        cam.x = x;
        cam.y = y;
        cam.width = width;
        cam.height = height;
        // Memory and file must agree, or the old rectangle comes back after a restart.
        if (camhp_write_setting_from_file(&cam) != 0) {
            cam.x = before[0];
            cam.y = before[1];
            cam.width = before[2];
            cam.height = before[3];
            logger->info("SaveScaleSetting: coordinate.json not written, rectangle unchanged");
            return QX_ERR_DATA_FILE;
        }
        return QX_OK;
    });
}
