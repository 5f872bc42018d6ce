#include "api/store_producer.h"

#include "api/context.h"
#include "api/engine_handle.h"
#include "api/gate.h"
#include "api/recompute_thread.h"
#include "engine/libclsretri.h"
#include "store/CppSQLite3.h"
#include "store/database.h"
#include "store/feature_producer.h"
#include "store/libhnsw.h"
#include "support/log.h"

#include <mutex>

namespace {

CLSRETRI_PRODUCER producer_of(const DB_PRODUCER_RECORD& record) {
    return record.present ? CLSRETRI_PRODUCER{record.model, record.precision} : CLSRETRI_legacy_producer();
}

bool same_producer(const DB_PRODUCER_RECORD& record, const CLSRETRI_PRODUCER& engine) {
    return record.present && record.model == engine.model && record.precision == engine.precision;
}

// Whether the store file at `path` may be served by `engine` as it is; one
// served without a record gets one. `what` names the store in the log.
bool may_serve_as_is(const std::string& path, const CLSRETRI_PRODUCER& engine, const char* what) {
    CppSQLite3DB db;
    db.open(path.c_str());
    const DB_PRODUCER_RECORD record = db_read_producer(db);
    const CLSRETRI_PRODUCER made_by = producer_of(record);
    // No feature to compare: any engine's store.
    const bool empty = db_live_sample_count(db) == 0;
    const CLSRETRI_SERVING serving = empty ? CLSRETRI_SERVING::kSame : CLSRETRI_may_serve(made_by, engine);
    const std::string from = CLSRETRI_producer_text(made_by), to = CLSRETRI_producer_text(engine);
    if (serving == CLSRETRI_SERVING::kRecompute) {
        logger->info("{} made by {} cannot be served by {}: its samples are made again from pic_data", what, from, to);
        return false;
    }
    if (serving == CLSRETRI_SERVING::kInterchangeable)
        logger->info("{} made by {} is served by {}: the two precisions are measured to recognise alike", what, from, to);
    if (!record.present && !empty) logger->info("{} predates producer records: made by {}, now recorded", what, from);
    // The record names what made the features: a store from before the record
    // gets the float32 producer it was made by, whichever engine serves it;
    // a store without samples is the engine's.
    const CLSRETRI_PRODUCER& maker = empty ? engine : made_by;
    if (!same_producer(record, maker)) db_write_producer(db, maker.model, maker.precision);
    return true;
}

// Nothing is offered from a store whose features the engine cannot compare
// with its own; the file itself is kept.
void serve_nothing(DB_STORE* store) {
    CppSQLite3DB none;
    none.open(":memory:");
    std::unique_ptr<libhnsw::Index> empty = db_build_index(none, DB_INDEX_CAPACITY);
    std::lock_guard<std::mutex> lock(g_mutex);
    store->index.swap(empty);
    store->sample_rows = -1;
}

}  // namespace

bool engine_producer(CLSRETRI_PRODUCER* producer, bool create) {
    std::lock_guard<std::mutex> hold(g_engine_mutex);
    if (!handle && create && engine_create() != 0) return false;
    return handle && CLSRETRI_GetInfo(handle, "feature_producer", producer) == 0;
}

void producer_check_at_start(DB_HADNLE* context) {
    CLSRETRI_PRODUCER engine;
    if (!engine_producer(&engine, false)) {
        logger->info("no engine: which engine made the store is checked at the next Init");
        return;
    }
    if (may_serve_as_is(context->db_path, engine, "the store")) return;
    serve_nothing(context);
    recompute_thread_start(context, engine);
}

std::string producer_admit_import(const std::string& copy) {
    CLSRETRI_PRODUCER engine;
    if (!engine_producer(&engine, true)) return "there is no engine to tell whether its features can be served";
    if (may_serve_as_is(copy, engine, "the imported store")) return "";
    RECOMPUTE_RESULT result;
    if (recompute_reported(copy, engine, qx_lifecycle_waiting, result) == Recomputed::kCancelled)
        return "cancelled by Init or Close";
    return "";
}

void producer_stamp(DB_STAGED_STORE& store) {
    CLSRETRI_PRODUCER engine;
    if (engine_producer(&engine, false)) store.record_producer(engine.model, engine.precision);
}

void producer_write_status(rapidjson::Writer<rapidjson::StringBuffer>& w, const std::string& db_path) {
    DB_PRODUCER_RECORD record;
    if (!db_path.empty()) try {
        CppSQLite3DB db;
        db.open(db_path.c_str(), SQLITE_OPEN_READONLY);
        record = db_read_producer(db);
    } catch (const CppSQLite3Exception&) {
        // No store yet: nothing recorded.
    }
    const CLSRETRI_PRODUCER made_by = producer_of(record);
    const RECOMPUTE_STATUS recompute = recompute_status();
    w.Key("producer");
    w.StartObject();
    w.Key("model");
    w.String(made_by.model.c_str());
    w.Key("precision");
    w.String(made_by.precision.c_str());
    w.Key("recorded");
    w.Bool(record.present);
    w.EndObject();
    w.Key("recompute");
    w.StartObject();
    // Names of their own: the tool looks keys up by name in the whole status.
    w.Key("in_progress");
    w.Bool(recompute.in_progress);
    w.Key("samples_done");
    w.Int64(recompute.samples_done);
    w.Key("outcome");
    w.String(recompute.outcome.c_str());
    w.Key("recomputed");
    w.Int64(recompute.last.recomputed);
    w.Key("kept_aside");
    w.Int64(recompute.last.kept_aside);
    w.Key("aside_copy");
    w.String(recompute.last.aside_copy.c_str());
    w.EndObject();
}
