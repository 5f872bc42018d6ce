#pragma once
// The rule that a store is served only by an engine its features can be
// compared with (engine/feature_producer.h), applied wherever a store comes
// into service: at Init, on ImportData, and to every store the library makes.
#include "engine/feature_producer.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>

struct DB_HADNLE;
class DB_STAGED_STORE;

// The producer of the library's engine, made first when there is none and
// `create` says so. False without an engine.
bool engine_producer(CLSRETRI_PRODUCER* producer, bool create);

// Init, under the exclusive state lock, once the store is loaded: a store of
// another producer that may not be served is taken out of service (its index
// emptied, `importing` set) and recomputed by a thread of its own, which puts
// it back in place when done; a store of the same producer, or an empty one,
// gets the engine's record; an interchangeable one is served with one log line.
void producer_check_at_start(DB_HADNLE* context);
// The same rule for a file ImportData has admitted, at `copy`, on the
// caller's thread: "" when it can be served (recomputed if need be), else why not.
std::string producer_admit_import(const std::string& copy);
// Records the engine's producer in a store the library makes.
void producer_stamp(DB_STAGED_STORE& store);
// The store's producer and the last or running recompute, for qx_tool_status:
// the members "producer" and "recompute" of the object being written.
void producer_write_status(rapidjson::Writer<rapidjson::StringBuffer>& w, const std::string& db_path);
