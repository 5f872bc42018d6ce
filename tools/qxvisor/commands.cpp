// The subcommands of qxvisor: one public call each, for people and scripts.
#include "qxvisor/cli.h"
#include "qxvisor/serve.h"

#include "support/numbers.h"

#include <qx_ai.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::string last_session;  // for `batch`: $SESSION is the newest recognition's id

int usage(const char* command, const char* text) { return fail(command, std::string("usage: qxvisor ") + command + " " + text); }

}  // namespace

std::string catalogue_text(const std::string& text, int* result) {
    int needed = findcode_n(text.c_str(), "", nullptr, 0);
    if (result) *result = needed < 0 ? needed : QX_OK;
    if (needed <= 0) return "";
    std::string found(static_cast<size_t>(needed) + 1, '\0');
    findcode_n(text.c_str(), "", &found[0], needed + 1);
    found.resize(static_cast<size_t>(needed));
    return found;
}

std::string product_name(const std::string& code) {
    for (const CatalogueRecord& record : catalogue_records(catalogue_text(code)))
        if (record.code == code) return record.name;
    return "";
}

int stored_camera_number() {
    std::ifstream file("coordinate.json");
    std::stringstream content;
    content << file.rdbuf();
    std::smatch match;
    std::string text = content.str();
    int number = 0;
    if (std::regex_search(text, match, std::regex("\"cameraNum\"\\s*:\\s*(-?\\d+)")) && tool_read_int(match[1].str(), &number))
        return number;
    return 0;
}

namespace {

void print_codes(const char* codes, const char* session) {
    auto list = split_codes(codes);
    std::fprintf(out, "session %s\n", session);
    if (list.empty()) std::fprintf(out, "no learned product matches\n");
    for (size_t i = 0; i < list.size(); ++i) {
        std::string name = product_name(list[i]);
        std::fprintf(out, "%2zu. %s%s%s\n", i + 1, list[i].c_str(), name.empty() ? "" : "  ", name.c_str());
    }
    last_session = session;
}

// Handles --confirm CODE / --confirm-top / --name NAME after a recognition.
int confirm(std::vector<std::string>& args, const char* codes, const char* session) {
    std::string code, name;
    bool top = take_flag(args, "--confirm-top");
    take_option(args, "--confirm", &code);
    take_option(args, "--name", &name);
    auto list = split_codes(codes);
    if (top && !list.empty()) code = list[0];
    if (code.empty()) return QX_OK;
    unsigned char hit = !list.empty() && list[0] == code;
    if (name.empty()) name = product_name(code);
    int result = SetFeedBack(code.c_str(), session, hit, name.c_str());
    if (result == QX_OK) std::fprintf(out, "confirmed %s (%s)\n", code.c_str(), hit ? "hit" : "miss");
    return result;
}

int open_camera(std::vector<std::string>& args) {
    std::string number;
    int camera = 0;
    if (take_option(args, "--camera", &number)) {
        if (!parse_int(number, &camera)) throw std::runtime_error("--camera needs a number");
    } else {
        camera = stored_camera_number();
    }
    return SetCameraId(camera);
}

int detect(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    int result = open_camera(args);
    if (result != QX_OK) return result;
    char codes[QX_CODES_SIZE] = "", session[QX_SESSION_SIZE] = "";
    result = AutoDetect(codes, session);
    if (result != QX_OK) return result;
    print_codes(codes, session);
    return confirm(args, codes, session);
}

int test_detect(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    std::string code, name;
    bool top = take_flag(args, "--confirm-top");
    bool has_code = take_option(args, "--confirm", &code);
    bool has_name = take_option(args, "--name", &name);
    if (args.empty()) throw std::runtime_error("usage: qxvisor test-detect PICTURE... [--confirm CODE|--confirm-top]");
    for (const std::string& picture : args) {
        char codes[QX_CODES_SIZE] = "", session[QX_SESSION_SIZE] = "";
        int result = TestDetect(picture.c_str(), codes, session);
        if (result != QX_OK) return result;
        std::fprintf(out, "%s\n", picture.c_str());
        print_codes(codes, session);
        std::vector<std::string> again;
        if (top) again.push_back("--confirm-top");
        if (has_code) again.insert(again.end(), {"--confirm", code});
        if (has_name) again.insert(again.end(), {"--name", name});
        result = confirm(again, codes, session);
        if (result != QX_OK) return result;
    }
    return QX_OK;
}

int feedback(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    bool hit = take_flag(args, "--hit");
    std::string name;
    take_option(args, "--name", &name);
    if (args.size() != 2) throw std::runtime_error("usage: qxvisor feedback CODE SESSION [--hit] [--name NAME]");
    std::string session = args[1] == "$SESSION" ? last_session : args[1];
    int result = SetFeedBack(args[0].c_str(), session.c_str(), hit, name.c_str());
    if (result == QX_OK) std::fprintf(out, "feedback stored for %s\n", args[0].c_str());
    return result;
}

int learn(const std::vector<std::string>& args) {
    if (!args.empty()) throw std::runtime_error("usage: qxvisor learn");
    int result = LearnFromPicData();
    if (result == QX_OK) std::fprintf(out, "learned the pictures of pic_data/\n");
    return result;
}

int export_data(const std::vector<std::string>& args) {
    if (!args.empty()) throw std::runtime_error("usage: qxvisor export");
    char path[4096] = "";
    int result = ExportData(path);
    if (result == QX_OK) std::fprintf(out, "%s\n", path);
    return result;
}

int import_data(const std::vector<std::string>& args) {
    if (args.size() != 1) throw std::runtime_error("usage: qxvisor import FILE");
    int result = ImportData(args[0].c_str());
    if (result == QX_OK) std::fprintf(out, "imported %s\n", args[0].c_str());
    return result;
}

int clear(const std::vector<std::string>& args) {
    if (!args.empty()) throw std::runtime_error("usage: qxvisor clear");
    int result = ClearTrainedData();
    if (result == QX_OK) std::fprintf(out, "learned data cleared\n");
    return result;
}

int norecommend(const std::vector<std::string>& args) {
    if (args.size() != 1) throw std::runtime_error("usage: qxvisor norecommend CODE");
    int result = qx_ai_setnorecommend(args[0].c_str());
    if (result == QX_OK) std::fprintf(out, "%s is no longer recommended\n", args[0].c_str());
    return result;
}

int camera(const std::vector<std::string>& args) {
    int number = 0;
    if (args.size() != 2 || (args[0] != "open" && args[0] != "reopen") || !parse_int(args[1], &number))
        throw std::runtime_error("usage: qxvisor camera open|reopen N");
    int result = args[0] == "open" ? SetCameraId(number) : qx_ai_reopencamera(number);
    if (result == QX_OK) std::fprintf(out, "camera %d is open (number stored in coordinate.json)\n", number);
    return result;
}

int crop(const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "get") {
        int x = 0, y = 0, w = 0, h = 0;
        int result = GetScaleSetting(&x, &y, &w, &h);
        std::fprintf(out, "%d %d %d %d\n", x, y, w, h);
        return result;
    }
    int v[4];
    if (args.size() != 5 || args[0] != "set" || !parse_int(args[1], &v[0]) || !parse_int(args[2], &v[1]) ||
        !parse_int(args[3], &v[2]) || !parse_int(args[4], &v[3]))
        throw std::runtime_error("usage: qxvisor crop get | crop set X Y W H");
    int result = SaveScaleSetting(v[0], v[1], v[2], v[3]);
    if (result == QX_OK) std::fprintf(out, "crop rectangle stored in coordinate.json\n");
    return result;
}

int snapshot(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    int result = open_camera(args);
    if (result != QX_OK) return result;
    char raw[QX_PATH_SIZE] = "", cropped[QX_PATH_SIZE] = "";
    result = GetScaleBitmap(raw, cropped);
    std::fprintf(out, "frame %s\ncrop  %s\n", raw[0] ? raw : "(none)", cropped[0] ? cropped : "(none)");
    return result;
}

int bind(const std::vector<std::string>& args) {
    if (args.size() != 3) throw std::runtime_error("usage: qxvisor bind TENANT POS SN");
    int result = InitPos(args[0].c_str(), args[1].c_str(), args[2].c_str());
    if (result == QX_OK) std::fprintf(out, "bound (tenant.json and posId.json written)\n");
    return result;
}

int unbind(const std::vector<std::string>& args) {
    if (args.size() != 2) throw std::runtime_error("usage: qxvisor unbind TENANT SN");
    int result = UnbindPos(args[0].c_str(), args[1].c_str());
    if (result == QX_OK) std::fprintf(out, "unbound\n");
    return result;
}

int find(const std::vector<std::string>& args) {
    if (args.size() != 1) throw std::runtime_error("usage: qxvisor find TEXT");
    int result = QX_OK;
    std::string text = catalogue_text(args[0], &result);
    if (result < 0) return result;
    // One record per line for people: "{pluNo:...}{pluNo:...}".
    size_t shown = 0;
    for (size_t at = 0; (at = text.find('{', at)) != std::string::npos; ++shown) {
        size_t end = text.find('}', at);
        std::fprintf(out, "%s\n", text.substr(at, end == std::string::npos ? end : end - at + 1).c_str());
        at = end == std::string::npos ? text.size() : end;
    }
    if (shown == 0) std::fprintf(out, "no product matches\n");
    return QX_OK;
}

int batch(const std::vector<std::string>& args);

const std::vector<Command> kCommands = {
    {"detect", "[--camera N] [--confirm CODE | --confirm-top] [--name NAME]",
     "open the camera and recognise what lies on the tray",
     "Opens camera N (default: the number in coordinate.json) and prints the ranked codes\n"
     "with their catalogue names and the session id. --confirm sends the cashier's choice.\n",
     [](const std::vector<std::string>& a) { return with_library("detect", detect, a); }},
    {"test-detect", "PICTURE... [--confirm CODE | --confirm-top] [--name NAME]",
     "recognise picture files instead of the camera",
     "Needs a crop rectangle (qxvisor crop set), like the camera recognition.\n",
     [](const std::vector<std::string>& a) { return with_library("test-detect", test_detect, a); }},
    {"feedback", "CODE SESSION [--hit] [--name NAME]", "confirm the product of a recognition",
     "A session lives until the next Init, and every qxvisor run starts with Init: use\n"
     "this inside `qxvisor batch` (SESSION may be $SESSION, the last recognition's id)\n"
     "or use --confirm of detect and test-detect.\n",
     [](const std::vector<std::string>& a) { return with_library("feedback", feedback, a); }},
    {"learn", "", "forget everything, then learn the pictures of pic_data/",
     "pic_data/<code>/<any>.jpg and flat files named \"<code>\\<any>.jpg\".\n",
     [](const std::vector<std::string>& a) { return with_library("learn", learn, a); }},
    {"export", "", "copy the learned data to ./data-copy", "",
     [](const std::vector<std::string>& a) { return with_library("export", export_data, a); }},
    {"import", "FILE", "replace the learned data by an exported copy", "",
     [](const std::vector<std::string>& a) { return with_library("import", import_data, a); }},
    {"clear", "", "delete the learned data", "",
     [](const std::vector<std::string>& a) { return with_library("clear", clear, a); }},
    {"norecommend", "CODE", "withdraw a product: its samples and pictures go", "",
     [](const std::vector<std::string>& a) { return with_library("norecommend", norecommend, a); }},
    {"camera", "open|reopen N", "check that camera N opens and store its number",
     "Set QX_CAMERA_SOURCE to a video file or frames/%03d.jpg to simulate a camera.\n",
     [](const std::vector<std::string>& a) { return with_library("camera", camera, a); }},
    {"crop", "get | set X Y W H", "read or set the tray's crop rectangle (640 x 480 frame)", "",
     [](const std::vector<std::string>& a) { return with_library("crop", crop, a); }},
    {"snapshot", "[--camera N]", "save the current frame and its crop under QXPhoto/", "",
     [](const std::vector<std::string>& a) { return with_library("snapshot", snapshot, a); }},
    {"bind", "TENANT POS SN", "bind this device to a POS of a cloud tenant", "",
     [](const std::vector<std::string>& a) { return with_library("bind", bind, a); }},
    {"unbind", "TENANT SN", "unbind this device", "",
     [](const std::vector<std::string>& a) { return with_library("unbind", unbind, a); }},
    {"find", "TEXT", "search the product catalogue (number, pinyin or name)",
     "The catalogue file is dev.ini's catalogDb (see README).\n",
     [](const std::vector<std::string>& a) { return with_library("find", find, a); }},
    {"eval", "TRAIN_DIR TEST_DIR [--shots K] [--seed S] [--galleries N] [--leave-out N] [--query-engine PLAN] [--force] [--json] [--stream ...]",
     "learn K pictures per kind, then measure top-1/top-5 on the test tree",
     "One folder per kind in both trees (the folder name names the kind). Run it in an\n"
     "empty folder: it replaces pic_data/ and the learned data there. Prints top-1, top-5,\n"
     "the codes shown on average and the median time per recognition. K defaults to 5;\n"
     "the first K pictures of each kind by name are learned, or with --seed S K drawn at\n"
     "random (seed S). --galleries N repeats the run over N draws (seeds S to S+N-1, S 1\n"
     "unless given) and prints each and the mean, standard deviation and range: one\n"
     "gallery's figures depend on which pictures it holds. --leave-out N teaches N kinds\n"
     "of the test tree nothing (drawn with the seed): their pictures show how often the\n"
     "library turns away a product it never learned (no code offered; see filterScore).\n"
     "--json prints the result (with which kinds were taken for which) as JSON and\n"
     "progress lines on stderr. --query-engine fp32|int8|opencv: learn on the engine\n"
     "QX_ENGINE names (or the default), then recognise on this one, as a store learned\n"
     "on another scale would be.\n"
     "\n"
     "--stream [--heldout DIR] [--block N] [--seed S] [--csv FILE]: a shop's learning\n"
     "curve. After the K pictures per kind, every picture of TEST_DIR (those learned\n"
     "already left out, so TEST_DIR may be TRAIN_DIR) is recognised and confirmed with\n"
     "its true kind through SetFeedBack, in a fixed random order (seed S, default 1;\n"
     "given, S also draws the K pictures):\n"
     "top-1/top-5 per block of N weighings (default 100), the list length and the\n"
     "learned samples; --csv writes that curve. Then the learned store recognises\n"
     "DIR's pictures without feedback.\n",
     run_eval},
    {"bench", "[--forwards N] [--photo FILE]", "time the recognition engine on this device, and a whole recognition",
     "Prints the load average, the thread count the engine's default chooses now and the\n"
     "figures behind it; loads the built-in model on XNNPACK (one thread, then every core),\n"
     "on OpenCV DNN and, where there is a usable graphics processor, on OpenCL, and prints\n"
     "per back end its threads, kernels, load time and median wall and processor\n"
     "milliseconds per forward pass (default N 20); then times N TestDetect calls on FILE\n"
     "(default: the first picture under pic_data/) with the learned store as it is (each\n"
     "adds a recognition record). Run it on the board itself, in the scale's working folder.\n",
     run_bench},
    {"batch", "FILE|-", "run several commands between one Init and Close",
     "One command per line (e.g. `test-detect a.jpg` then `feedback 1001 $SESSION`);\n"
     "lines starting with # are skipped. Stops at the first failure.\n",
     batch},
    {"serve", "[--port N] [--listen ADDR]", "the set-up page: camera, crop, recognition, learned products",
     "Serves one page on http://127.0.0.1:8080/ (--port 0 picks a free port) for the\n"
     "technician's browser: the camera with its crop rectangle, a trial recognition,\n"
     "the learned products, an accuracy run and the status. Only this machine may\n"
     "use it; --listen ADDR opens it to others and prints a one-time token that\n"
     "every request must carry. Stop it with Ctrl-C.\n",
     run_serve},
};

int batch(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage("batch", "FILE|-");
    std::ifstream file;
    if (args[0] != "-") {
        file.open(args[0]);
        if (!file) return fail("batch", "cannot read " + args[0]);
    }
    std::istream& in = args[0] == "-" ? std::cin : file;
    std::vector<std::pair<std::string, std::vector<std::string>>> lines;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::vector<std::string> parts;
        for (std::string w; words >> w;) parts.push_back(w);
        if (parts.empty() || parts[0][0] == '#') continue;
        lines.push_back({parts[0], std::vector<std::string>(parts.begin() + 1, parts.end())});
    }
    static const std::vector<std::pair<std::string, int (*)(const std::vector<std::string>&)>> operations = {
        {"detect", detect}, {"test-detect", test_detect}, {"feedback", feedback}, {"learn", learn},
        {"export", export_data}, {"import", import_data}, {"clear", clear}, {"norecommend", norecommend},
        {"camera", camera}, {"crop", crop}, {"snapshot", snapshot}, {"bind", bind}, {"unbind", unbind},
        {"find", find}};
    start_library();
    for (const auto& [name, rest] : lines) {
        int (*operation)(const std::vector<std::string>&) = nullptr;
        for (const auto& op : operations)
            if (op.first == name) operation = op.second;
        int result = QX_OK;
        std::string problem;
        if (!operation) {
            problem = "unknown command";
        } else {
            try {
                result = operation(rest);
            } catch (const std::exception& e) {
                problem = e.what();
            }
        }
        if (problem.empty() && result != QX_OK) problem = result_text(result);
        if (!problem.empty()) {
            Close();
            return fail(name, problem);
        }
    }
    Close();
    return 0;
}


}  // namespace

const std::vector<Command>& commands() { return kCommands; }

int fail(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "qxvisor %s: %s\n", command.c_str(), message.c_str());
    return 1;
}

int start_library() {
    const int started = Init();
    bool told = false;
    for (std::string status; (status = library_status()).find("\"in_progress\":true") != std::string::npos;) {
        if (!told)
            std::fprintf(stderr, "qxvisor: the learned samples were made by another engine; making them again from "
                                 "pic_data/ first (see the log)\n");
        told = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return started;
}

int with_library(const std::string& command, int (*operation)(const std::vector<std::string>&),
                 const std::vector<std::string>& args) {
    start_library();
    int result;
    try {
        result = operation(args);
    } catch (const std::exception& e) {
        Close();
        return fail(command, e.what());
    }
    Close();
    return result == QX_OK ? 0 : fail(command, result_text(result));
}

bool parse_int(const std::string& text, int* value) { return tool_read_int(text, value); }

bool take_flag(std::vector<std::string>& args, const std::string& flag) {
    for (auto it = args.begin(); it != args.end(); ++it) {
        if (*it == flag) {
            args.erase(it);
            return true;
        }
    }
    return false;
}

bool take_option(std::vector<std::string>& args, const std::string& option, std::string* value) {
    for (auto it = args.begin(); it != args.end(); ++it) {
        if (*it != option) continue;
        if (it + 1 == args.end()) throw std::runtime_error(option + " needs a value");
        *value = *(it + 1);
        args.erase(it, it + 2);
        return true;
    }
    return false;
}

