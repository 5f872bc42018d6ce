#pragma once
// The set-up server's defences against clients that hold connections open:
// every request must arrive whole within a deadline, and one address may hold
// only a few connections, so that slow or hostile clients cannot take every
// worker away from the technician's page. A connection whose request body was
// not read to its end (an early refusal) is closed after the answer: the rest
// of the body is never read as requests.
#include <httplib.h>

#include <map>
#include <mutex>
#include <string>

struct ServeLimits {
    int header_seconds = 10;     // request line and headers, from the first byte awaited
    int read_seconds = 10;       // any one read of a body, however long the body
    int write_seconds = 10;
    int keep_alive_seconds = 5;  // an idle kept-alive connection is closed after this
    int per_address = 16;        // connections served at once for one client address
    int workers = 48;            // more than per_address, so one address cannot take them all
};

class LimitedServer : public httplib::Server {
public:
    explicit LimitedServer(const ServeLimits& limits);
    // Ends the header deadline of the request being read on this thread: its
    // headers are in, the handler runs and may read a long body.
    static void headers_arrived();
    // Whether the request being handled on this thread asked for more than
    // one byte range: those are dropped before routing (the library would
    // build an answer of every range) and the request should be refused.
    static bool asked_many_ranges();
    // Connections of `address` being served now (for tests and the status).
    int connections_of(const std::string& address);

private:
    bool process_and_close_socket(socket_t sock) override;
    bool enter(const std::string& address);
    void leave(const std::string& address);

    ServeLimits limits_;
    std::mutex lock_;
    std::map<std::string, int> connections_;
};

// A listening socket that a second server cannot share: address reuse for a
// quick restart, never port reuse (which splits the requests between servers).
void exclusive_port(socket_t sock);
