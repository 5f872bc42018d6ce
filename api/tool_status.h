#pragma once
// What the set-up page (`qxvisor serve`) asks of the running library beyond the
// host's calls: its state as the page shows it, and camera pictures that leave
// no file and no log line behind however often the page polls. Exported for the
// tool only and kept out of include/qx_ai.h: hosts have no use for it and it
// may change with the page.
#include "qx_ai.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The library's state as one JSON object: bound tenant and POS id, MAC, learned
 * samples per product, camera, engine, the dev.ini values in force and the
 * progress of a folder learning run. Returns the length of the whole text;
 * `out`/`out_size` as findcode_n. Never logs. */
QX_API int qx_tool_status(char* out, int out_size);
/* The newest camera frame (`crop` 0) or the sharpest recent crop (`crop` 1) as
 * JPEG bytes. Returns their length (the bytes fit when it is at most out_size),
 * 0 when the camera is not capturing or no crop is set. Never logs, writes no
 * file. */
QX_API int qx_tool_picture(int crop, char* out, int out_size);

#ifdef __cplusplus
}

// Folder learning counts its pictures here for the page's progress bar.
void tool_status_learning_started();
void tool_status_picture_learned();
#endif
