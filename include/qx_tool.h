/*
 * qx_tool.h - the technician's queries of the running library.
 *
 * libQxVisor exports these two calls for its set-up page (`qxvisor serve`),
 * beside the host's calls of qx_ai.h. A point-of-sale program has no use for
 * them; they may change with the page. Both never log and write no file, so
 * the page may poll them as often as it likes. C linkage, and like every call
 * of the library they never let an exception or a crash reach the caller.
 */
#ifndef QX_TOOL_H
#define QX_TOOL_H

#include "qx_ai.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The library's state as one JSON object: bound tenant and POS id, MAC, learned
 * samples per product, camera, engine, the dev.ini values in force and the
 * progress of a folder learning run. Returns the length of the whole text;
 * `out`/`out_size` as findcode_n. */
QX_API int qx_tool_status(char* out, int out_size);
/* The newest camera frame (`crop` 0) or the sharpest recent crop (`crop` 1) as
 * JPEG bytes. Returns their length (the bytes fit when it is at most out_size),
 * 0 when the camera is not capturing or no crop is set. QX_ERR_ARGUMENT for a
 * negative out_size, or a NULL out with out_size > 0. */
QX_API int qx_tool_picture(int crop, char* out, int out_size);

#ifdef __cplusplus
}
#endif

#endif /* QX_TOOL_H */
