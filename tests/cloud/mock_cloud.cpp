#include "mock_cloud.h"

#include <httplib.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace {

SeenRequest seen_from(const httplib::Request& req) {
    SeenRequest seen{req.method, req.path, req.target, {}, {}, req.body, {}};
    for (const auto& [name, value] : req.headers) {
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        seen.headers.emplace(lower, value);
    }
    for (const auto& [name, value] : req.params) seen.query[name] = value;
    return seen;
}

}  // namespace

std::string SeenRequest::header(const std::string& lower_name) const {
    auto found = headers.find(lower_name);
    return found == headers.end() ? std::string() : found->second;
}

MockCloud::MockCloud() : server_(std::make_unique<httplib::Server>()) {
    // A proxy from the environment would carry the library's requests elsewhere.
    setenv("no_proxy", "*", 1);
    setenv("NO_PROXY", "*", 1);

    auto reply = [this](const httplib::Request& req, httplib::Response& res, SeenRequest seen) {
        const MockAnswer answer = answer_for(req.method, req.path);
        record(std::move(seen));
        if (answer.kind == MockAnswer::Kind::Slow) {
            std::unique_lock<std::mutex> lock(mutex_);
            released_.wait_for(lock, std::chrono::seconds(5), [this] { return stopping_; });
        }
        res.status = answer.status;
        if (answer.kind != MockAnswer::Kind::Cut) return res.set_content(answer.body, "application/json");
        const std::string body = answer.body;
        res.set_content_provider(body.size() + 100, "application/json",
                                 [body](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset == 0) sink.write(body.data(), body.size());
                                     return offset == 0;
                                 });
    };
    auto plain = [reply](const httplib::Request& req, httplib::Response& res) { reply(req, res, seen_from(req)); };
    auto with_body = [reply](const httplib::Request& req, httplib::Response& res,
                             const httplib::ContentReader& reader) {
        SeenRequest seen = seen_from(req);
        if (req.is_multipart_form_data()) {
            reader(
                [&](const httplib::MultipartFormData& part) {
                    seen.parts.push_back({part.name, part.filename, part.content_type, {}});
                    return true;
                },
                [&](const char* data, size_t length) {
                    seen.parts.back().content.append(data, length);
                    return true;
                });
        } else {
            reader([&](const char* data, size_t length) {
                seen.body.append(data, length);
                return true;
            });
        }
        reply(req, res, std::move(seen));
    };
    server_->Get(".*", plain);
    server_->Delete(".*", plain);
    server_->Post(".*", with_body);
    server_->Put(".*", with_body);

    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("mock cloud: cannot bind 127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() only reaches a server that already runs its accept loop.
    for (int waited = 0; !server_->is_running() && waited < 5000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

MockCloud::~MockCloud() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    released_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string MockCloud::url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

void MockCloud::answer(const std::string& method, const std::string& path, MockAnswer reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[method + " " + path] = std::move(reply);
}

MockAnswer MockCloud::answer_for(const std::string& method, const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = answers_.find(method + " " + path);
    return found != answers_.end() ? found->second : MockAnswer{404, ""};
}

void MockCloud::record(SeenRequest request) {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(std::move(request));
}

std::vector<SeenRequest> MockCloud::seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

std::vector<SeenRequest> MockCloud::seen(const std::string& method, const std::string& path) const {
    std::vector<SeenRequest> matching;
    for (const SeenRequest& request : seen())
        if (request.method == method && request.path == path) matching.push_back(request);
    return matching;
}

int closed_loopback_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}
