#include "qxvisor/cli.h"

#include <qx_ai.h>

#include <string>

std::string result_text(int code) {
    switch (code) {
    case QX_OK: return "QX_OK";
    case QX_ERR_IMPORTING: return "QX_ERR_IMPORTING (learned data is being rebuilt)";
    case QX_ERR_DETECT_FAILED: return "QX_ERR_DETECT_FAILED (recognition engine failed)";
    case QX_ERR_NO_RECOGNITION: return "QX_ERR_NO_RECOGNITION (no recognition for this session id)";
    case QX_ERR_NO_PICTURE: return "QX_ERR_NO_PICTURE (no picture from the camera or the file)";
    case QX_ERR_CAMERA_OPEN: return "-2003 (camera not open, or engine failed on the picture file)";
    case QX_ERR_RECORDS: return "QX_ERR_RECORDS (recognition records unreadable)";
    case QX_ERR_CATALOGUE: return "QX_ERR_CATALOGUE (product catalogue unreadable)";
    case QX_ERR_BINDING: return "QX_ERR_BINDING (cloud binding call failed)";
    case QX_ERR_DATA_FILE: return "QX_ERR_DATA_FILE (export or import failed)";
    case QX_ERR_CROP_OUTSIDE: return "QX_ERR_CROP_OUTSIDE (crop rectangle outside 640 x 480)";
    case QX_ERR_NO_CROP: return "QX_ERR_NO_CROP (no crop rectangle set: use 'qxvisor crop set')";
    case QX_ERR_SN_UNKNOWN: return "QX_ERR_SN_UNKNOWN (SN code not found)";
    case QX_ERR_POS_BOUND_ELSEWHERE: return "QX_ERR_POS_BOUND_ELSEWHERE (POS bound to another device)";
    case QX_ERR_MAC_BOUND_ELSEWHERE: return "QX_ERR_MAC_BOUND_ELSEWHERE (device bound to another POS)";
    case QX_ERR_TENANT_UNKNOWN: return "QX_ERR_TENANT_UNKNOWN (tenant not known to the cloud)";
    case QX_ERR_NOT_BOUND: return "QX_ERR_NOT_BOUND (SN is not bound)";
    case QX_ERR_MAC_MISMATCH: return "QX_ERR_MAC_MISMATCH (MAC differs from the bound one)";
    case QX_ERR_NOT_READY: return "QX_ERR_NOT_READY (library not started)";
    case QX_ERR_ARGUMENT: return "QX_ERR_ARGUMENT (a required value is missing)";
    case QX_ERR_INTERNAL: return "QX_ERR_INTERNAL (internal failure, see tmp/daily_*.txt)";
    default: return std::to_string(code);
    }
}
