#include "api/engine_handle.h"

#include "api/context.h"
#include "engine/libclsretri.h"

int engine_create() {
    if (handle) CLSRETRI_Release(&handle);
    return CLSRETRI_Init(nullptr, drive_ai ? CLSRETRI_DEVICE_GPU : CLSRETRI_DEVICE_CPU, &handle);
}
