#include "api/engine_handle.h"

#include "api/context.h"
#include "api/settings.h"
#include "engine/libclsretri.h"

int engine_create() {
    if (handle) CLSRETRI_Release(&handle);
    CLSRETRI_SetThreadSetting(settings_engine_threads(params ? params->ini_path : std::string()));
    return CLSRETRI_Init(nullptr, drive_ai ? CLSRETRI_DEVICE_GPU : CLSRETRI_DEVICE_CPU, &handle);
}
