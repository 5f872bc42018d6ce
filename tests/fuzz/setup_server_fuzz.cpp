// The set-up page's server, listening on 127.0.0.1 with every route of
// `qxvisor serve` over a real library, fed whole connections: the fuzzer's
// bytes are what a browser (or anyone on this machine) sends, request line,
// headers, form values, multipart parts, ranges and paths included. Whatever
// arrives, the server answers or closes, never crashes, and never touches a
// file outside its working folder.
#include "fuzz_kit.h"

#include "qxvisor/cli.h"
#include "qxvisor/serve.h"
#include "qxvisor/serve_guard.h"
#include "qxvisor/serve_limits.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <qx_ai.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

FILE* out = stderr;  // the tool's own output, which only its commands use

namespace {

struct Running {
    GuardSettings guard;
    std::unique_ptr<LimitedServer> server;
    std::thread listener;
    int port = 0;
};
Running* g_running = nullptr;

// A real catalogue for the search route, and settings that keep the cloud on
// this machine: its requests meet a closed port and fail at once.
void prepare_folder() {
    std::ofstream("dev.ini") << "[default]\ndev = http://127\ncloudHost = 0.0.1:9\ncatalogDb = catalogue.db\n";
    sqlite3* db = nullptr;
    sqlite3_open("catalogue.db", &db);
    sqlite3_exec(db,
                 "create table qx_goods (pluNo, name, unitPrice, priceUnitDes, imageUrl, keywordPinyin);"
                 "insert into qx_goods values ('1001', 'Banana', 3.5, 'kg', '', 'xj'), ('1002', 'Kiwi', 9, 'kg', '', 'mht');",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::filesystem::create_directories("pic_data/1001");
    std::ofstream("pic_data/1001/1.jpg") << "not a picture";
    // Something outside the working folder that no request may reach.
    std::ofstream("../qxfuzz-outside.txt") << "outside";
}

void stop_server() {
    if (!g_running) return;
    g_running->server->stop();
    if (g_running->listener.joinable()) g_running->listener.join();
    stop_eval();
    stop_learning();
    Close();
    std::remove("../qxfuzz-outside.txt");
}

// Sends the bytes on a new connection, closes the sending side and reads the
// answer until the server closes. Writing and reading go on together, so
// neither side waits on a full socket buffer.
void one_connection(int port, const uint8_t* data, size_t size, std::string* answers) {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(sock >= 0, "no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "the server does not listen");
    size_t sent = 0;
    bool reading = true;
    char buffer[65536];
    while (reading) {
        pollfd fd = {sock, static_cast<short>(POLLIN | (sent < size ? POLLOUT : 0)), 0};
        if (poll(&fd, 1, 60000) <= 0) break;
        if ((fd.revents & POLLOUT) && sent < size) {
            const ssize_t n = send(sock, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += static_cast<size_t>(n);
            if (n < 0 && errno != EAGAIN) sent = size;  // the server closed early
            if (sent == size) shutdown(sock, SHUT_WR);
        }
        if (fd.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
            reading = got > 0 || (got < 0 && errno == EAGAIN);
            if (got > 0 && answers) answers->append(buffer, static_cast<size_t>(got));
        }
        if (size == 0 && sent == 0) {
            shutdown(sock, SHUT_WR);
            sent = 1;
        }
    }
    close(sock);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_enter_temp_dir();
    prepare_folder();
    FUZZ_CHECK(Init() == QX_OK, "Init failed");
    g_running = new Running;
    g_running->server.reset(new LimitedServer(ServeLimits()));
    LimitedServer& server = *g_running->server;
    // Opening a camera waits 300 ms for its first frame: the page's camera
    // choice answers at once here, every other route is the tool's own.
    server.Post("/api/camera", [](const httplib::Request&, httplib::Response& response) {
        send_json(response, result_json(QX_ERR_CAMERA_OPEN).text());
    });
    // An accuracy run would start this fuzzer again: a program that is not there.
    configure_server(server, g_running->guard, "/nonexistent/qxvisor");
    g_running->port = server.bind_to_any_port("127.0.0.1");
    FUZZ_CHECK(g_running->port > 0, "cannot listen on 127.0.0.1");
    g_running->guard.port = g_running->port;
    g_running->listener = std::thread([] { g_running->server->listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::atexit(stop_server);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // QX_FUZZ_VERBOSE=1 shows the status lines of the answers (a replay's, say).
    static const bool verbose = std::getenv("QX_FUZZ_VERBOSE") != nullptr;
    std::string answers;
    one_connection(g_running->port, data, size, verbose ? &answers : nullptr);
    for (size_t at = answers.find("HTTP/1.1 "); at != std::string::npos; at = answers.find("HTTP/1.1 ", at + 1))
        std::fprintf(stderr, "  %s\n", answers.substr(at, answers.find('\r', at) - at).c_str());
    std::ifstream outside("../qxfuzz-outside.txt");
    std::string text;
    std::getline(outside, text);
    FUZZ_CHECK(text == "outside", "a request changed a file outside the working folder");
    return 0;
}
