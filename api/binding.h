#pragma once
// The device's binding to a tenant of the cloud as the library keeps it: the
// context's tenant_code and pos_id, the files tenant.json and posId.json, and
// the URLs built from them.
#include <string>

struct DB_HADNLE;

// The context's six cloud URL templates, for its cloud_host (or the build's
// default host).
void binding_init_urls(DB_HADNLE* context);
// A report or upload URL template filled with the dev prefix and the bound
// tenant, read whole even while a bind replaces it; empty (logged) when it
// cannot be made. Called with the state lock held.
std::string binding_tenant_url(const std::string& url_template);
// 0 when the cloud knows the tenant, QX_ERR_TENANT_UNKNOWN otherwise;
// QX_ERR_BINDING (logged) when the request cannot be sent at all.
int checkTenant(const char* tenant_code);
// Replaces `path` with a JSON document holding only `value`, as a string, at
// the JSON pointer's place, written compactly through a temporary file. 0, or
// -1 when the pointer is not valid, names no member, or the file cannot be written.
int Storage(const char* pointer, const std::string& value, const std::string& path);
