#pragma once
// The configuration files Init reads: dev.ini, tenant.json and posId.json.
#include <string>

struct DB_HADNLE;

// dev.ini, section "default": dev, filterScore, saveImage, drive_ai, and the
// technician's cloudHost, catalogDb and searchK. Missing keys keep the defaults.
void settings_read_dev_ini(DB_HADNLE* context);
// dev.ini's "engineThreads": the processor threads the engine is to use, 0
// (missing, or not 1..64, which is logged) to let it choose. Read by
// engine_create before each engine is made.
int settings_engine_threads(const std::string& ini_path);
// tenant.json "demo" into tenant_code and posId.json "posId" into pos_id.
void settings_read_bindings(DB_HADNLE* context);
