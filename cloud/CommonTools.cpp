#include "cloud/CommonTools.h"

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <new>

namespace {

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct HeaderListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MimeDeleter {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;
using Mime = std::unique_ptr<curl_mime, MimeDeleter>;

constexpr char kJsonHeader[] = "content-type:application/json";
constexpr long kUploadTimeoutSeconds = 3;

// A callback must not let an exception unwind through libcurl's C frames;
// answering fewer bytes than offered makes libcurl end the transfer instead.
// So does an answer beyond the limit: a hostile or broken server must not grow
// the host's memory (or the log the answer goes into) without end.
size_t append_to(void* data, size_t bytes, void* response) {
    try {
        auto* text = static_cast<std::string*>(response);
        if (bytes > CommonTools::kAnswerLimit - std::min(text->size(), CommonTools::kAnswerLimit)) return 0;
        text->append(static_cast<const char*>(data), bytes);
        return bytes;
    } catch (...) {
        return 0;
    }
}

// What every request carries: signals would hit whatever thread of the host
// happens to run, and the time limit covers the whole transfer, connection included.
void limit(CURL* easy, long timeout) {
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, timeout);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L);
}

void receive_into(CURL* easy, std::string& response) {
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CommonTools::receive_data);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &response);
}

unsigned int perform(CURL* easy) { return static_cast<unsigned int>(curl_easy_perform(easy)); }

}  // namespace

size_t CommonTools::receive_data(void* data, size_t size, size_t count, void* response) {
    return append_to(data, size * count, response);
}

size_t write_data(void* data, size_t size, size_t count, void* response) {
    return append_to(data, size * count, response) == size * count ? count : 0;
}

size_t CommonTools::writedata2file(void* data, size_t size, size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<FILE*>(file));
}

unsigned int CommonTools::http_get(const std::string& url, std::string& response, int timeout) {
    Easy easy(curl_easy_init());
    if (!easy) return CURLE_FAILED_INIT;
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    limit(easy.get(), timeout);
    receive_into(easy.get(), response);
    return perform(easy.get());
}

// The body goes out whole up to its first NUL byte, whatever its length: a JSON
// text cut at a fixed size would only reach the cloud as garbage.
unsigned int CommonTools::http_post(const std::string& url, std::string body, std::string& response,
                                    int timeout) {
    Easy easy(curl_easy_init());
    if (!easy) return CURLE_FAILED_INIT;
    HeaderList headers(curl_slist_append(nullptr, kJsonHeader));
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDS, body.c_str());
    limit(easy.get(), timeout);
    receive_into(easy.get(), response);
    return perform(easy.get());
}

unsigned int CommonTools::http_put(const std::string& url, std::string body, std::string& response,
                                   int timeout) {
    Easy easy(curl_easy_init());
    if (!easy) return CURLE_FAILED_INIT;
    HeaderList headers(curl_slist_append(nullptr, kJsonHeader));
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_CUSTOMREQUEST, "PUT");
    curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers.get());
    limit(easy.get(), timeout);
    receive_into(easy.get(), response);
    return perform(easy.get());
}

unsigned int CommonTools::http_delete(const std::string& url, std::string& response, int timeout) {
    Easy easy(curl_easy_init());
    if (!easy) return CURLE_FAILED_INIT;
    HeaderList headers(curl_slist_append(nullptr, kJsonHeader));
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_CUSTOMREQUEST, "DELETE");
    curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers.get());
    limit(easy.get(), timeout);
    receive_into(easy.get(), response);
    return perform(easy.get());
}

// The MIME interface builds the same two-part form as the older form API,
// which current libcurl marks as deprecated.
int CommonTools::upload_file(const char* url, const char* path, std::string& response) {
    Easy easy(curl_easy_init());
    if (!easy) return -1;
    Mime form(curl_mime_init(easy.get()));
    if (!form) return -1;
    curl_mimepart* field = curl_mime_addpart(form.get());
    curl_mime_name(field, "path");
    curl_mime_data(field, "device_cover", CURL_ZERO_TERMINATED);
    curl_mimepart* file = curl_mime_addpart(form.get());
    curl_mime_name(file, "file");
    // A file that cannot be read ends the upload before any request goes out.
    const CURLcode readable = curl_mime_filedata(file, path ? path : "");
    if (readable != CURLE_OK) return static_cast<int>(readable);
    curl_mime_filename(file, "hello.jpg");

    curl_easy_setopt(easy.get(), CURLOPT_URL, url ? url : "");
    curl_easy_setopt(easy.get(), CURLOPT_MIMEPOST, form.get());
    limit(easy.get(), kUploadTimeoutSeconds);
    curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &write_data);
    curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &response);
    const CURLcode code = curl_easy_perform(easy.get());
    easy.reset();
    return static_cast<int>(code);
}

// Every path that ran the global set-up also runs the tear-down, so repeated
// downloads never leave libcurl's global reference count raised.
int CommonTools::download_file(const char* url, const char* path) {
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
        std::printf("init libcurl failed.");
        curl_global_cleanup();
        return -1;
    }
    int result = -1;
    if (CURL* easy = curl_easy_init()) {
        if (FILE* file = path ? std::fopen(path, "wb") : nullptr) {
            const bool ready = curl_easy_setopt(easy, CURLOPT_URL, url ? url : "") == CURLE_OK &&
                               curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CommonTools::writedata2file) ==
                                   CURLE_OK &&
                               curl_easy_setopt(easy, CURLOPT_WRITEDATA, file) == CURLE_OK;
            if (ready) {
                const CURLcode code = curl_easy_perform(easy);
                if (code == CURLE_OK) {
                    result = 0;
                } else {
                    std::fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(code));
                }
            }
            std::fclose(file);
        }
        curl_easy_cleanup(easy);
    }
    curl_global_cleanup();
    return result;
}

bool CommonTools::url_escape(const std::string& value, std::string& escaped) {
    Easy easy(curl_easy_init());
    if (!easy) return false;
    if (value.size() > static_cast<size_t>(INT_MAX)) return false;
    char* encoded = curl_easy_escape(easy.get(), value.data(), static_cast<int>(value.size()));
    if (!encoded) return false;
    escaped = encoded;
    curl_free(encoded);
    return true;
}
