#include "qxvisor/serve_limits.h"

#include "support/numbers.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// One connection as the HTTP library reads and writes it. The library's own
// stream waits `read_seconds` for each read, so a client that sends one byte
// every few seconds is never cut off; this one also counts the whole time a
// request's head takes.
class DeadlineStream : public httplib::Stream {
public:
    DeadlineStream(int sock, const ServeLimits& limits, std::string ip, int port)
        : sock_(sock), limits_(limits), ip_(std::move(ip)), port_(port) {}

    // Waits for the next request of a kept-alive connection; false when it
    // stays idle or the server stops.
    template <typename Running>
    bool await_request(Running running) {
        auto until = Clock::now() + std::chrono::seconds(limits_.keep_alive_seconds);
        while (begin_ == end_ && running()) {
            if (Clock::now() >= until) return false;
            pollfd fd = {sock_, POLLIN, 0};
            int ready = poll(&fd, 1, 200);
            if (ready < 0 && errno != EINTR) return false;
            if (ready > 0) return running();
        }
        return running();
    }
    void start_request() {
        head_deadline_ = Clock::now() + std::chrono::seconds(limits_.header_seconds);
        in_head_ = true;
        many_ranges = false;
        body_known_ = counting_ = false;
    }
    // The request's head is parsed: from here on every byte read is its body,
    // whose end its headers name.
    void body_begins(const httplib::Request& request) {
        body_known_ = counting_ = true;
        body_read_ = 0;
        body_length_ = 0;
        const std::string length = request.get_header_value("Content-Length");
        chunked_ = request.has_header("Transfer-Encoding");
        if (!length.empty() && tool_read_number(length, 0, LLONG_MAX, &body_length_) != QxNumber::kRead)
            body_known_ = false;
    }
    // Whether bytes of the request just answered may still wait on the socket:
    // an early answer (a refusal, a file too large) leaves its body unread, and
    // the rest would be read as requests of their own, with headers the sender
    // chose. A chunked body's end is not followed: such a connection is closed.
    bool body_unread() const {
        return !body_known_ || chunked_ || static_cast<long long>(body_read_) < body_length_;
    }
    bool many_ranges = false;
    void head_done() { in_head_ = false; }

    bool is_readable() const override { return begin_ != end_ || wait(POLLIN, limits_.read_seconds); }
    bool is_writable() const override { return wait(POLLOUT, limits_.write_seconds); }

    ssize_t read(char* ptr, size_t size) override {
        if (begin_ == end_) {
            if (!wait(POLLIN, limits_.read_seconds)) return -1;
            ssize_t got;
            do {
                got = recv(sock_, buffer_, sizeof buffer_, 0);
            } while (got < 0 && errno == EINTR);
            if (got <= 0) return got;
            begin_ = 0;
            end_ = static_cast<size_t>(got);
        }
        size_t n = std::min(size, end_ - begin_);
        std::memcpy(ptr, buffer_ + begin_, n);
        begin_ += n;
        if (counting_) body_read_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        if (!wait(POLLOUT, limits_.write_seconds)) return -1;
        ssize_t sent;
        do {
            sent = send(sock_, ptr, size, MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        return sent;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = ip_;
        port = port_;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip.clear();
        port = 0;
    }
    socket_t socket() const override { return sock_; }

private:
    // Whether the socket becomes ready within `seconds`, and, while a request's
    // head is read, before its deadline.
    bool wait(short events, int seconds) const {
        auto limit = Clock::now() + std::chrono::seconds(seconds);
        if (in_head_ && events == POLLIN) limit = std::min(limit, head_deadline_);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now()).count();
            if (left <= 0) return false;
            pollfd fd = {sock_, events, 0};
            int ready = poll(&fd, 1, static_cast<int>(left));
            if (ready > 0) return true;
            if (ready == 0 || errno != EINTR) return false;
        }
    }

    int sock_;
    const ServeLimits& limits_;
    std::string ip_;
    int port_;
    bool in_head_ = false;
    Clock::time_point head_deadline_;
    bool body_known_ = false, counting_ = false, chunked_ = false;
    unsigned long long body_read_ = 0;
    long long body_length_ = 0;
    char buffer_[4096];
    size_t begin_ = 0, end_ = 0;
};

thread_local DeadlineStream* current_stream = nullptr;

void peer_of(int sock, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char host[NI_MAXHOST] = "", service[NI_MAXSERV] = "";
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

// Ends the connection after an answer whose request body was left unread:
// the answer goes out first, then what the client still sends is thrown away
// for a moment, so that closing does not reset the connection before the
// client has read the answer. None of it is ever parsed.
void discard_input(int sock) {
    shutdown(sock, SHUT_WR);
    const auto until = Clock::now() + std::chrono::seconds(2);
    char sink[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd fd = {sock, POLLIN, 0};
        if (left <= 0 || poll(&fd, 1, static_cast<int>(left)) <= 0) return;
        const ssize_t got = recv(sock, sink, sizeof sink, 0);
        if (got == 0 || (got < 0 && errno != EINTR)) return;
    }
}

}  // namespace

LimitedServer::LimitedServer(const ServeLimits& limits) : limits_(limits) {
    set_read_timeout(limits.read_seconds, 0);
    set_write_timeout(limits.write_seconds, 0);
    set_keep_alive_timeout(limits.keep_alive_seconds);
    set_socket_options(exclusive_port);
    int workers = limits.workers;
    new_task_queue = [workers] { return new httplib::ThreadPool(static_cast<size_t>(workers)); };
}

void LimitedServer::headers_arrived() {
    if (current_stream) current_stream->head_done();
}

bool LimitedServer::asked_many_ranges() { return current_stream && current_stream->many_ranges; }

int LimitedServer::connections_of(const std::string& address) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = connections_.find(address);
    return found == connections_.end() ? 0 : found->second;
}

bool LimitedServer::enter(const std::string& address) {
    std::lock_guard<std::mutex> hold(lock_);
    int& count = connections_[address];
    if (count >= limits_.per_address) return false;
    ++count;
    return true;
}

void LimitedServer::leave(const std::string& address) {
    std::lock_guard<std::mutex> hold(lock_);
    if (--connections_[address] <= 0) connections_.erase(address);
}

bool LimitedServer::process_and_close_socket(socket_t sock) {
    std::string ip;
    int port = 0;
    peer_of(sock, ip, port);
    bool served = false, unread = false;
    if (enter(ip)) {
        DeadlineStream stream(sock, limits_, ip, port);
        current_stream = &stream;
        // As many requests on one connection as the page's polling makes in a
        // few minutes; then the browser opens a new one.
        // Not is_running(): that stays true until every connection has ended, so
        // a page polling on would keep a stopped server from ever ending.
        const auto listening = [this] { return svr_sock_ != INVALID_SOCKET; };
        for (int left = 1000; left > 0 && stream.await_request(listening); --left) {
            stream.start_request();
            bool closed = false;
            served = process_request(stream, left == 1, closed, [&stream](httplib::Request& request) {
                stream.body_begins(request);
                if (request.ranges.size() > 1) {
                    request.ranges.clear();
                    stream.many_ranges = true;
                }
            });
            unread = stream.body_unread();
            if (!served || closed || unread) break;
        }
        current_stream = nullptr;
        leave(ip);
    } else {
        static const char busy[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        send(sock, busy, sizeof busy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (unread) discard_input(sock);
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return served;
}

void exclusive_port(socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}
