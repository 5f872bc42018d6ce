#include "camera/camhp.h"

#include "support/log.h"
#include "support/tools.h"

void camhp_init(_CAMHP_CAP_* cap) {
    cap->camera_num = 2;
    cap->coordinate_path = tool_get_dll_path() + "coordinate.json";
    cap->qxphoto_path = "QXPhoto";
    logger->info("camhp_cap->qxphoto_path:{}", cap->qxphoto_path);
    cap->x = cap->y = cap->width = cap->height = 0;
    cap->capture_running = false;
}

void camhp_close(_CAMHP_CAP_* cap) { cap->cap.release(); }

int camhp_read_setting_from_file(_CAMHP_CAP_* cap) { return 0; }
