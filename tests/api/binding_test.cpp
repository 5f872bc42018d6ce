// Binding while feedback reports to the cloud: the tenant a feedback puts into
// its URLs is always one that was bound, never a mix of two.
#include "flows_fixture.h"

#include "qx_ai.h"

#include "../cloud/mock_cloud.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

const std::string kBindPath = "/newretail/api/pos/machine/bind";
const std::string kUploadPath = "/newretail/api/dfs/upload";
const std::string kReportPath = "/newretail/api/search/product/saveImageIdentify";

// The first segment of a request's path: the tenant the library put there.
std::string tenant_segment(const std::string& path) { return path.substr(1, path.find('/', 1) - 1); }

}  // namespace

class BindingRace : public FlowTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        cloud.answer("GET", "/0/newretail/api/sys/org/queryTenant", {200, R"({"code":0,"data":true})"});
        for (const std::string& tenant : {first, second}) {
            cloud.answer("PUT", "/" + tenant + kBindPath, {200, R"({"code":0,"data":{"id":"7"}})"});
            cloud.answer("POST", "/" + tenant + kUploadPath, {200, R"({"code":0,"data":{"url":"http://f/p.jpg"}})"});
            cloud.answer("POST", "/" + tenant + kReportPath, {200, R"({"code":0})"});
        }
        write_file("dev.ini", "[default]\ndev = http://t\ncloudHost = localhost:" + std::to_string(cloud.port()) +
                                  "\nsaveImage = 1\n");
        write_file("tenant.json", R"({"demo":")" + first + "\"}");
        ASSERT_EQ(Init(), 0);
        ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
    }
    // Long codes of equal length: a bind overwrites the text in place, which is
    // where a reader once caught half of each.
    const std::string first = std::string(4000, 'A');
    const std::string second = std::string(4000, 'B');
    MockCloud cloud;
};

TEST_F(BindingRace, FeedbackUrlsNameOnlyBoundTenants) {
    std::string session;
    recognise(grocery("val", distinct_kinds()[0], 0), &session);
    ASSERT_FALSE(session.empty());
    std::atomic<bool> done{false};
    std::thread binder([&] {
        for (int n = 0; !done; ++n) EXPECT_EQ(InitPos((n % 2 ? first : second).c_str(), "P01", "SN1"), 0);
    });
    const int feedbacks = 150;
    for (int n = 0; n < feedbacks; ++n) EXPECT_EQ(SetFeedBack("4001", session.c_str(), 1, "Banana"), 0);
    done = true;
    binder.join();

    int uploads = 0, mixed = 0;
    for (const SeenRequest& request : cloud.seen()) {
        if (request.method != "POST") continue;
        const std::string tenant = tenant_segment(request.path);
        uploads += request.path == "/" + tenant + kUploadPath;
        mixed += tenant != first && tenant != second;
    }
    EXPECT_EQ(uploads, feedbacks);
    EXPECT_EQ(mixed, 0) << "requests with a tenant made of two codes";
    EXPECT_GT(cloud.seen("PUT", "/" + first + kBindPath).size() + cloud.seen("PUT", "/" + second + kBindPath).size(),
              1u);
}
