#pragma once
// The one way the library reads JSON: cloud answers, tenant.json, posId.json and
// coordinate.json all come from outside and may be hostile.
#include <rapidjson/document.h>

#include <string>

// Nesting deeper than any text the library reads or writes has a reason to be.
constexpr int kJsonMaxDepth = 64;
// tenant.json, posId.json and coordinate.json hold a few dozen bytes.
constexpr size_t kJsonFileLimit = 1 << 20;

// Parses `text` without recursion and refuses nesting deeper than kJsonMaxDepth,
// so no input can exhaust the host's stack. False for malformed or too deep text
// and for a number beyond the double range (the document then holds no value).
bool json_parse(const std::string& text, rapidjson::Document& document);
// The same for a file read with tool_read_small_file. False when the file is
// missing, no regular file, larger than kJsonFileLimit or malformed; `opened`
// tells whether there was a file to read at all.
bool json_parse_file(const std::string& path, rapidjson::Document& document, bool* opened = nullptr);
// The value as compact JSON text.
std::string json_compact(const rapidjson::Value& value);
