/*
 * qx_ai.h - produce recognition for retail weighing scales.
 *
 * The only header a host includes. Every function has C linkage, takes
 * NUL-terminated texts and caller-provided buffers, returns 0 on success or one
 * of the negative QX_ codes below, and never lets an exception or a crash reach
 * the caller. All files the library keeps live in the process's current working
 * directory (see README.md).
 *
 * Calling order: Init first; SetCameraId (or qx_ai_reopencamera) to open the
 * camera, since Init does not; then any other call; Close (or qx_ai_qxrelease)
 * last. Init may be called again after Close. Any function may be called
 * from any thread at any time: conflicting calls wait for each other or are
 * refused at once, as each function says (docs/threading.md); before the first
 * Init and after Close the calls that need the library answer
 * QX_ERR_NOT_READY. A required pointer argument that is NULL gets
 * QX_ERR_ARGUMENT.
 */
#ifndef QX_AI_H
#define QX_AI_H

#if defined(_WIN32)
#define QX_API
#else
#define QX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define QX_OK 0
#define QX_ERR_IMPORTING (-1002)        /* learned data is being rebuilt; try again later */
#define QX_ERR_DETECT_FAILED (-1003)    /* engine failed on the camera picture, or while learning */
#define QX_ERR_NO_RECOGNITION (-1004)   /* no recognition with a feature for this session id */
#define QX_ERR_NO_PICTURE (-2002)       /* camera crop empty, or picture file unreadable */
#define QX_ERR_FILE_DETECT_FAILED (-2003) /* TestDetect: engine failed on the picture file */
#define QX_ERR_CAMERA_OPEN (-2003)      /* SetCameraId / qx_ai_reopencamera: camera not open */
#define QX_ERR_RECORDS (-2004)          /* recognition records could not be read */
#define QX_ERR_CATALOGUE (-2005)        /* product catalogue could not be searched */
#define QX_ERR_BINDING (-2006)          /* cloud binding call failed (transfer or answer) */
#define QX_ERR_DATA_FILE (-2007)        /* export or import failed; SaveScaleSetting: file not written */
#define QX_ERR_CROP_OUTSIDE (-2008)     /* crop rectangle does not fit the 640 x 480 frame, or has a negative size */
#define QX_ERR_NO_CROP (-2009)          /* no crop rectangle set (width x height is 0) */
#define QX_ERR_SN_UNKNOWN (-4001)       /* cloud: SN code not found */
#define QX_ERR_POS_BOUND_ELSEWHERE (-4002) /* bind: POS already bound to another MAC */
#define QX_ERR_MAC_BOUND_ELSEWHERE (-4003) /* bind: this MAC is bound to another POS */
#define QX_ERR_TENANT_UNKNOWN (-4004)   /* tenant check failed */
#define QX_ERR_NOT_BOUND (-4005)        /* unbind: SN is not bound */
#define QX_ERR_MAC_MISMATCH (-4006)     /* unbind: MAC differs from the one on record */
#define QX_ERR_NOT_READY (-9997)        /* called before the first Init, or after Close */
#define QX_ERR_ARGUMENT (-9998)         /* a required pointer argument is null */
#define QX_ERR_INTERNAL (-9999)         /* unexpected internal failure; see the day's log */

/* Buffer sizes the caller provides. */
#define QX_CODES_SIZE 100       /* ranked codes text, e.g. "1001,1002," */
#define QX_SESSION_SIZE 64      /* session id (at most 24 characters and the NUL) */
#define QX_PATH_SIZE 260        /* picture paths of GetScaleBitmap, ExportData's path */

/* A product code is 1 to QX_CODE_MAX bytes without a comma or a control
 * character, and not "0" (README.md, "Product codes"). */
#define QX_CODE_MAX 32

/* Start-up: reads dev.ini, coordinate.json, tenant.json, posId.json, opens the
 * feature database and creates the recognition engine. Does not open the
 * camera. Always returns 0. */
QX_API int Init(void);
/* Releases the camera, the database, the engine. Harmless when called twice.
 * Waits for the calls in progress, but not for a LearnFromPicData run: that is
 * cancelled (it answers QX_ERR_NOT_READY and the learned data stays as it was
 * before the run), so Close returns about as soon as the picture in the
 * engine is done. Recognition records still waiting for a database file that
 * another program holds are dropped (logged with their number). Init cancels a
 * learning run the same way. */
QX_API int Close(void);
/* As Close, without its two log lines. */
QX_API int qx_ai_qxrelease(void);

/* Recognises what lies on the tray (sharpest recent camera frame, cropped).
 * codes_out (QX_CODES_SIZE bytes) receives the ranked codes, each followed by
 * ",", best first ("" when nothing was learned); session_out (QX_SESSION_SIZE
 * bytes) the session id to pass to SetFeedBack. QX_ERR_IMPORTING at once while
 * LearnFromPicData or ImportData runs; QX_ERR_NO_CROP, QX_ERR_NO_PICTURE,
 * QX_ERR_DETECT_FAILED. */
QX_API int AutoDetect(char* codes_out, char* session_out);
/* As AutoDetect for the picture in a file (JPEG, PNG, ...). Still requires a
 * crop rectangle to be set. Also answers while LearnFromPicData or ImportData
 * runs, from the learned data in force until the new one is in place.
 * QX_ERR_NO_CROP, QX_ERR_NO_PICTURE, QX_ERR_FILE_DETECT_FAILED. */
QX_API int TestDetect(const char* picture_path, char* codes_out, char* session_out);

/* Replaces everything learned by what every picture of ./pic_data teaches: flat
 * files named "<code>\<anything>.jpg" and "pic_data/<code>/<anything>.jpg"
 * (a folder inside pic_data/<code>/ is not read; the log names each one).
 * Blocks until done. All or nothing: the new data replaces the old only when
 * every picture is learned. QX_ERR_DETECT_FAILED when the engine or the
 * database fails (the log says which); the previous data is then kept.
 * QX_ERR_NOT_READY when Close, qx_ai_qxrelease or Init came meanwhile: the run
 * is cancelled and the previous data kept. QX_ERR_IMPORTING at once when
 * another LearnFromPicData or ImportData is running. */
QX_API int LearnFromPicData(void);

/* The cashier chose `code` for recognition `session_id`. Learns the picture's
 * feature under the code (always on a miss; on a hit only when more than one
 * candidate was offered), files the picture under ./pic_data/<code>/, then
 * uploads it and reports to the cloud (skipped when the recognition kept no
 * picture). product_name may be NULL (taken as ""). QX_ERR_IMPORTING at once
 * while LearnFromPicData or ImportData runs; QX_ERR_RECORDS,
 * QX_ERR_NO_RECOGNITION, QX_ERR_ARGUMENT for a code that breaks the rule of
 * QX_CODE_MAX (nothing is stored then),
 * QX_ERR_DETECT_FAILED when the recognition's feature is unusable (nothing
 * learned). */
QX_API int SetFeedBack(const char* code, const char* session_id, unsigned char hit,
                       const char* product_name);

/* Copies the feature database to ./data-copy and writes that path into `out`
 * (QX_PATH_SIZE bytes), with the recognition records made so far. While
 * LearnFromPicData or ImportData runs it copies the learned data in force (never
 * a half-learned one). QX_ERR_DATA_FILE, also when the path would not fit. */
QX_API int ExportData(char* out);
/* Replaces the feature database by the copy at `path` and reloads it. Only a
 * regular file that passes SQLite's integrity check and holds the library's
 * own tables (current or older layout, no views or triggers) is taken; missing
 * tables are created; its recognition records are emptied, as at Init, so the
 * database is byte-identical to the copy only when the copy held none. All or
 * nothing: otherwise the current database and what matching serves are kept.
 * QX_ERR_DATA_FILE; QX_ERR_IMPORTING at once when another ImportData or
 * LearnFromPicData is running. */
QX_API int ImportData(const char* path);
/* Forgets everything learned: an empty feature database takes the old one's
 * place, and the library goes on as after Init on an empty folder.
 * QX_ERR_DATA_FILE when the empty database cannot be written; QX_ERR_IMPORTING
 * at once while LearnFromPicData or ImportData runs. */
QX_API int ClearTrainedData(void);
/* Stops recommending `code`: withdraws its samples and empties its pictures.
 * QX_ERR_IMPORTING at once while LearnFromPicData or ImportData runs. */
QX_API int qx_ai_setnorecommend(const char* code);

/* Opens camera number `camera_id` and starts capturing; stores the number in
 * coordinate.json. QX_ERR_CAMERA_OPEN when not open afterwards (also when the
 * camera is already open: switch with qx_ai_reopencamera). */
QX_API int SetCameraId(int camera_id);
/* Closes the camera and opens camera `camera_id`. QX_ERR_CAMERA_OPEN. */
QX_API int qx_ai_reopencamera(int camera_id);
/* Saves the sharpest recent frame and its crop under ./QXPhoto and writes the
 * two paths into raw_path and crop_path (QX_PATH_SIZE bytes each; empty when
 * the camera is not capturing; a NULL buffer is skipped). Always 0. */
QX_API int GetScaleBitmap(char* raw_path, char* crop_path);
/* The crop rectangle in frame pixels; a NULL place is skipped. Always 0. */
QX_API int GetScaleSetting(int* x, int* y, int* width, int* height);
/* Sets and stores the crop rectangle. A width or height of 0 clears the crop
 * area (recognitions then answer QX_ERR_NO_CROP until a rectangle is set):
 * GetScaleSetting gives the four values back as given, while coordinate.json
 * keeps only the camera number, so the next Init starts from 0, 0, 0, 0. QX_ERR_CROP_OUTSIDE when
 * x + width > 640 or y + height > 480, or when width or height is negative;
 * QX_ERR_DATA_FILE when coordinate.json could not be written. Either way the
 * rectangle in force stays as it was. */
QX_API int SaveScaleSetting(int x, int y, int width, int height);

/* Searches the host's product catalogue (by number when `text` starts with a
 * digit, by pinyin keyword when it starts with a letter, else by name; `text`
 * is matched anywhere in the column, "%" and "_" act as wildcards) and writes
 * every match into `out` as
 * "{pluNo:<no>name :<name>unitPrice :<price>priceUnitDes :<unit>imageUrl :<url>keywordPinyin :<pinyin>}"
 * records back to back ("" when nothing matches). The catalogue file is
 * dev.ini's catalogDb, else the path built in; it is opened read-only.
 * `out` must hold the whole text: prefer findcode_n. `unused` is ignored.
 * QX_ERR_CATALOGUE (out = "") when the catalogue cannot be opened or has no
 * qx_goods table. */
QX_API int findcode(const char* text, const char* unused, char* out);
/* As findcode, but writes at most `out_size` bytes into `out`: always
 * NUL-terminated, cut before a UTF-8 character that does not fit. Returns the
 * length of the whole text in bytes (without the NUL): a result of out_size or
 * more means it was cut, and a buffer of result + 1 bytes holds it all
 * (out_size 0 with out NULL only asks for the length). QX_ERR_CATALOGUE as
 * findcode; QX_ERR_ARGUMENT for a negative out_size, or a NULL out with
 * out_size > 0. */
QX_API int findcode_n(const char* text, const char* unused, char* out, int out_size);

/* Binds this device to POS `pos_code` of tenant `tenant_code` with its SN code;
 * writes tenant.json and posId.json on success. QX_ERR_BINDING, -4001..-4004;
 * QX_ERR_NOT_READY before Init, after Close, and when Close or Init ran while
 * the cloud answered (nothing is written then). */
QX_API int InitPos(const char* tenant_code, const char* pos_code, const char* sn_code);
/* Unbinds this device. QX_ERR_BINDING, -4001, -4004, -4005, -4006;
 * QX_ERR_NOT_READY before Init and after Close. */
QX_API int UnbindPos(const char* tenant_code, const char* sn_code);

/* Times the recognition engine on this device: first a line saying which
 * thread count the engine's default chooses now and the timings behind it;
 * then loads the built-in model on each back end (XNNPACK on one thread and
 * on every core, OpenCV DNN on the processor and, where usable, on OpenCL)
 * and runs `forwards` (1..1000) forward passes on each. Writes one line per
 * back end into `out`: its name, threads and kernels' instruction set, load
 * time and median forward time in wall and in processor time (milliseconds).
 * Needs no Init and leaves the library's own engine alone; takes
 * about a second plus `forwards` passes per back end. Returns the length of
 * the whole text, with `out`/`out_size` as findcode_n. QX_ERR_ARGUMENT. */
QX_API int qx_ai_enginebench(int forwards, char* out, int out_size);

#ifdef __cplusplus
}
#endif

#endif /* QX_AI_H */
