// What the set-up page says: the library's result codes in a technician's
// words (the code and its name go to a details line), and why an action failed
// when the learned-data file or the working folder tells more than the code.
#include "qxvisor/cli.h"
#include "qxvisor/serve.h"

#include <qx_ai.h>

#include <algorithm>
#include <iterator>

namespace {

std::string page_words(int code) {
    switch (code) {
    case QX_OK: return "done";
    case QX_ERR_IMPORTING: return "the learned data is being rebuilt (a learning run or an import): try again when it is done";
    case QX_ERR_DETECT_FAILED: return "the recognition engine failed on the picture (the log below says more)";
    case QX_ERR_NO_RECOGNITION: return "this recognition is not known (any more): recognise again";
    case QX_ERR_NO_PICTURE: return "the camera gave no picture of the tray";
    case QX_ERR_CAMERA_OPEN: return "the camera cannot be opened";
    case QX_ERR_RECORDS: return "the recognition's record could not be read back";
    case QX_ERR_CATALOGUE: return "the product catalogue cannot be read: see Catalogue under Status";
    case QX_ERR_BINDING: return "the binding did not go through (the cloud's answer was missing or wrong, or it could not be stored)";
    case QX_ERR_DATA_FILE: return "the learned-data file could not be read or written";
    case QX_ERR_CROP_OUTSIDE:
        return "the rectangle lies outside 640 x 480: x + width must be at most 640 and y + height at most 480";
    case QX_ERR_NO_CROP: return "no crop rectangle yet: draw the tray's rectangle on the camera picture and press Save crop";
    case QX_ERR_SN_UNKNOWN: return "the cloud does not know this SN";
    case QX_ERR_POS_BOUND_ELSEWHERE: return "this POS is already bound to another scale";
    case QX_ERR_MAC_BOUND_ELSEWHERE: return "this scale is already bound to another POS";
    case QX_ERR_TENANT_UNKNOWN: return "the cloud does not know this tenant";
    case QX_ERR_NOT_BOUND: return "this SN is not bound";
    case QX_ERR_MAC_MISMATCH: return "this SN is bound to another scale";
    case QX_ERR_NOT_READY: return "the library is not running";
    case QX_ERR_ARGUMENT: return "a value is missing or not valid";
    default: return "something unexpected failed (the log below says more)";
    }
}

// The library state's flat object `name` ("" when absent).
std::string inner_object(const std::string& state, const std::string& name) {
    size_t at = state.find("\"" + name + "\":{");
    return at == std::string::npos ? "" : state.substr(at, state.find('}', at) - at + 1);
}

// An answer carrying `code` in the given words.
JsonObject answer_in_words(int code, const std::string& words) {
    JsonObject answer;
    answer.add("result", code).add("text", words);
    // For whoever reads further: the code and its name, never in the message itself.
    if (code != QX_OK) {
        const std::string name = result_text(code).substr(0, result_text(code).find(" ("));
        answer.add("detail", name == std::to_string(code) ? "result " + name : name + " (" + std::to_string(code) + ")");
    }
    return answer;
}

}  // namespace

JsonObject result_json(int code) { return answer_in_words(code, page_words(code)); }

void send_conflict(httplib::Response& response, int code, const std::string& problem) {
    // A conflict in its own words, whatever the code: not those of a missing value.
    send_json(response,
              answer_in_words(code, "conflict: the request clashes with work in progress or already done")
                  .add("problem", problem)
                  .text(),
              409);
}

std::string store_problem(const std::string& state) {
    const std::string store = inner_object(state, "store");
    const std::string problem = json_string(store, "problem");
    if (!problem.empty()) return "the learned-data file " + json_string(store, "file") + " cannot be used: " + problem;
    if (store.find("\"loaded\":false") != std::string::npos)
        return "the learned data could not be opened when the set-up page started (see the log below); "
               "start the set-up page again to load it";
    return "";
}

bool explain_failure(JsonObject& answer, int result, const std::string& undone, bool store_matters) {
    // The codes a write that failed ends in; the others have causes of their own.
    static const int written[] = {QX_ERR_RECORDS, QX_ERR_BINDING, QX_ERR_DATA_FILE, QX_ERR_DETECT_FAILED,
                                  QX_ERR_NO_RECOGNITION, QX_ERR_INTERNAL};
    std::string why = store_matters ? store_problem(library_status()) : "";
    if (why.empty() && std::find(std::begin(written), std::end(written), result) != std::end(written))
        why = folder_room().problem;
    if (why.empty()) return false;
    answer.add(result == QX_OK ? "warning" : "problem", undone + ": " + why);
    return true;
}
