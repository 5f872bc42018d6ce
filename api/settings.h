#pragma once
// The configuration files Init reads: dev.ini, tenant.json and posId.json.
struct DB_HADNLE;

// dev.ini, section "default": dev, filterScore, saveImage, drive_ai, and the
// technician's cloudHost, catalogDb and searchK. Missing keys keep the defaults.
void settings_read_dev_ini(DB_HADNLE* context);
// tenant.json "demo" into tenant_code and posId.json "posId" into pos_id.
void settings_read_bindings(DB_HADNLE* context);
