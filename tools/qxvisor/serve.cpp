// `qxvisor serve`: the set-up page. One page and a few JSON calls over the
// library's public header, for the technician's browser.
#include "qxvisor/cli.h"
#include "qxvisor/serve.h"
#include "qxvisor/serve_guard.h"
#include "qxvisor/serve_limits.h"

#include <httplib.h>
#include <qx_ai.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

httplib::Server* running_server = nullptr;

void stop_on_signal(int) {
    if (running_server) running_server->stop();
}

RequestFacts facts_of(const httplib::Request& request) {
    RequestFacts facts;
    facts.remote_addr = request.remote_addr;
    facts.method = request.method;
    facts.host = request.get_header_value("Host");
    facts.origin = request.get_header_value("Origin");
    facts.marker = request.get_header_value("X-Qxvisor");
    facts.token = request.get_param_value("token");
    if (facts.token.empty()) facts.token = request.get_header_value("X-Qxvisor-Token");
    if (facts.token.empty()) facts.token = cookie_token(request.get_header_value("Cookie"));
    return facts;
}

}  // namespace

std::mutex& library_lock() {
    static std::mutex lock;
    return lock;
}

void send_json(httplib::Response& response, const std::string& json, int status) {
    response.status = status;
    response.set_content(json, "application/json");
}

bool form_value(const httplib::Request& request, const std::string& name, std::string* value) {
    if (!request.has_param(name.c_str())) return false;
    *value = request.get_param_value(name.c_str());
    return true;
}

void configure_server(LimitedServer& server, const GuardSettings& guard, const std::string& tool_path) {
    // An exported database travels back in one request, streamed to a file.
    server.set_payload_max_length(kPayloadLimit);
    server.set_pre_routing_handler([&guard](const httplib::Request& request, httplib::Response& response) {
        LimitedServer::headers_arrived();
        Admission admission = admit(guard, facts_of(request));
        if (admission == Admission::Allowed) {
            // Several ranges in one request make the answer a multiple of the
            // file: the page never asks for them, so nobody gets them.
            if (LimitedServer::asked_many_ranges()) {
                response.status = 416;
                response.set_content("refused: one byte range per request", "text/plain");
                return httplib::Server::HandlerResponse::Handled;
            }
            // Refused before a byte of the body is read, not after all of it.
            if (std::strtoull(request.get_header_value("Content-Length").c_str(), nullptr, 10) > kPayloadLimit) {
                send_json(response, result_json(QX_ERR_DATA_FILE).add("problem", "the file is larger than " +
                                        std::to_string(kUploadLimit >> 20) + " MB; nothing was changed").text(), 413);
                return httplib::Server::HandlerResponse::Handled;
            }
            // The first visit carries the token in the address; later requests
            // send it back as a cookie that other sites' pages cannot read.
            if (guard.listen_named && request.has_param("token"))
                response.set_header("Set-Cookie", "qxvisor_token=" + guard.token + "; Path=/; HttpOnly; SameSite=Strict");
            return httplib::Server::HandlerResponse::Unhandled;
        }
        response.status = admission == Admission::NoToken ? 401 : 403;
        response.set_content(admission_text(admission), "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        send_json(response, result_json(QX_ERR_INTERNAL).text(), 500);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_header("Content-Security-Policy", "default-src 'self'; img-src 'self' blob:; style-src 'self' 'unsafe-inline'; script-src 'self' 'unsafe-inline'; frame-ancestors 'none'");
        response.set_content(kSetupPage, "text/html; charset=utf-8");
    });
    add_camera_routes(server);
    add_product_routes(server);
    add_status_routes(server);
    add_eval_routes(server, tool_path);
    add_learning_routes(server);
    add_catalogue_routes(server);
}

int run_serve(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    std::string port_text = "8080", listen_address;
    take_option(args, "--port", &port_text);
    bool listen_named = take_option(args, "--listen", &listen_address);
    int port = 0;
    if (!args.empty() || !parse_int(port_text, &port) || port < 0 || port > 65535 || (listen_named && listen_address.empty()))
        return fail("serve", "usage: qxvisor serve [--port N] [--listen ADDR]");

    GuardSettings guard;
    guard.listen_named = listen_named;
    if (listen_named) {
        guard.token = make_token();
        if (guard.token.empty()) return fail("serve", "no random source for the access token");
    }

    LimitedServer server{ServeLimits()};
    configure_server(server, guard, "/proc/self/exe");

    std::string bind_address = listen_named ? listen_address : "127.0.0.1";
    if (port == 0) {
        port = server.bind_to_any_port(bind_address.c_str());
        if (port < 0) return fail("serve", "cannot listen on " + bind_address);
    } else if (!server.bind_to_port(bind_address.c_str(), port)) {
        return fail("serve", "cannot listen on " + bind_address + ":" + std::to_string(port) + " (is the port taken?)");
    }
    guard.port = port;

    Init();
    {
        std::lock_guard<std::mutex> hold(library_lock());
        // The camera is the one stored in coordinate.json; a failure shows on the page.
        SetCameraId(stored_camera_number());
    }
    std::string shown_host = bind_address.find(':') != std::string::npos ? "[" + bind_address + "]" : bind_address;
    std::string address = "http://" + shown_host + ":" + std::to_string(port) + "/";
    if (listen_named) address += "?token=" + guard.token;
    std::fprintf(out, "qxvisor serve: open %s (Ctrl-C stops)\n", address.c_str());
    std::fflush(out);

    running_server = &server;
    std::signal(SIGINT, stop_on_signal);
    std::signal(SIGTERM, stop_on_signal);
    std::signal(SIGPIPE, SIG_IGN);
    server.listen_after_bind();
    running_server = nullptr;
    stop_eval();
    stop_learning();
    std::lock_guard<std::mutex> hold(library_lock());
    Close();
    return 0;
}
