#pragma once
// The library's only way onto the network: each call is one blocking HTTP
// transfer on its own libcurl easy handle, so calls never share state.
#include <cstddef>
#include <string>

class CommonTools {
public:
    // The largest answer body a request accepts; beyond it the transfer is
    // abandoned and fails (libcurl's write error, 23). No endpoint answers
    // more than a few hundred bytes.
    static constexpr size_t kAnswerLimit = 256 * 1024;

    // The value as it may stand in a URL's path or query: every byte but
    // letters, digits, "-", "_", "." and "~" percent-encoded. False when it
    // could not be encoded.
    static bool url_escape(const std::string& value, std::string& escaped);

    // Text requests answer libcurl's result code (0 once the transfer
    // completed, whatever the HTTP status; 2 when no handle could be made) and
    // append the body received to `response`. `timeout` covers the whole
    // transfer, in seconds; the upload's is 3.
    static unsigned int http_get(const std::string& url, std::string& response, int timeout);
    static unsigned int http_post(const std::string& url, std::string body, std::string& response, int timeout);
    static unsigned int http_put(const std::string& url, std::string body, std::string& response, int timeout);
    static unsigned int http_delete(const std::string& url, std::string& response, int timeout);

    // Multipart upload: field "path" = "device_cover" and the file as part
    // "file" named "hello.jpg". 0, libcurl's code of a failed transfer, or -1.
    static int upload_file(const char* url, const char* path, std::string& response);
    // Writes the body into `path`; 0 or -1. Runs libcurl's global set-up and
    // tear-down, so it must not overlap any other transfer.
    static int download_file(const char* url, const char* path);

    static size_t receive_data(void* data, size_t size, size_t count, void* response);
    static size_t writedata2file(void* data, size_t size, size_t count, void* file);
};

size_t write_data(void* data, size_t size, size_t count, void* response);
