// The shared library must export exactly the documented C functions and the
// set-up page's queries.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

TEST(Exports, ExactlyThePublicFunctions) {
    std::string command = std::string("nm -D --defined-only '") + QX_LIBRARY_FILE + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> exported;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe)) {
        char address[128], kind[8], name[512];
        if (std::sscanf(line, "%127s %7s %511s", address, kind, name) == 3) exported.insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0);
    const std::set<std::string> expected = {
        "Init", "Close", "qx_ai_qxrelease", "AutoDetect", "TestDetect", "LearnFromPicData",
        "SetFeedBack", "ExportData", "ImportData", "ClearTrainedData", "qx_ai_setnorecommend",
        "SetCameraId", "qx_ai_reopencamera", "GetScaleBitmap", "GetScaleSetting",
        "SaveScaleSetting", "findcode", "findcode_n", "InitPos", "UnbindPos", "qx_ai_enginebench",
        // The set-up page's own queries (include/qx_tool.h), outside the host's header.
        "qx_tool_status", "qx_tool_picture"};
    EXPECT_EQ(exported, expected);
}
