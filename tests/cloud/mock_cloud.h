#pragma once
// An in-process stand-in for the cloud back end: a real HTTP server on
// 127.0.0.1 (ephemeral port) that records every request and answers what the
// test told it to.
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

struct SeenPart {
    std::string name, filename, content_type, content;
};

struct SeenRequest {
    std::string method;
    std::string path;    // without the query
    std::string target;  // as sent, query included
    std::multimap<std::string, std::string> headers;  // names lower-cased
    std::map<std::string, std::string> query;
    std::string body;
    std::vector<SeenPart> parts;  // multipart requests, in the order sent
    std::string header(const std::string& lower_name) const;
};

struct MockAnswer {
    enum class Kind {
        Whole,  // status and body
        Slow,   // the body after 5 s (sooner when the server stops)
        Cut,    // promises more bytes than the body, sends the body, drops the connection
    };
    int status = 200;
    std::string body;
    Kind kind = Kind::Whole;
};

class MockCloud {
public:
    MockCloud();
    ~MockCloud();
    MockCloud(const MockCloud&) = delete;
    MockCloud& operator=(const MockCloud&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:PORT" + path
    std::string url(const std::string& path) const;
    // Answers requests of `method` on `path` (query ignored); others get 404.
    void answer(const std::string& method, const std::string& path, MockAnswer reply);
    std::vector<SeenRequest> seen() const;
    std::vector<SeenRequest> seen(const std::string& method, const std::string& path) const;

private:
    MockAnswer answer_for(const std::string& method, const std::string& path) const;
    void record(SeenRequest request);

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool stopping_ = false;
    std::map<std::string, MockAnswer> answers_;
    std::vector<SeenRequest> seen_;
};

// A port on 127.0.0.1 where nothing listens (bound and released just now).
int closed_loopback_port();
