#include "cloud/cloud.h"

#include "api/context.h"
#include "api/settings.h"
#include "build_config.h"
#include "mock_cloud.h"
#include "qx_ai.h"
#include "support/log.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

const char kTenantPath[] = "/0/newretail/api/sys/org/queryTenant";
const char kBindPath[] = "/T01/newretail/api/pos/machine/bind";
const char kUnbindPath[] = "/T01/newretail/api/pos/machine/unbind";
const char kTenantJson[] = R"({"demo":"OLD"})";
const char kPosIdJson[] = R"({"posId":"1"})";

std::string device_mac() {
    char mac[32];
    qx_auty_getmacaddresses(mac);
    return mac;
}

std::string log_text() {
    std::string text;
    for (const std::string& name : list_dir("tmp")) text += read_file("tmp/" + name);
    return text;
}

MockAnswer json(const std::string& body, int status = 200) { return {status, body}; }

}  // namespace

// The library context as Init leaves it, pointed at the mock cloud through
// dev.ini, with an earlier binding on file and in the context.
class CloudLink : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        write_file("dev.ini", "[default]\ndev = http://t\ncloudHost = localhost:" + std::to_string(cloud.port()) + "\n");
        write_file("tenant.json", kTenantJson);
        write_file("posId.json", kPosIdJson);
        log_flush_every_message();
        init_params();
        settings_read_dev_ini(params);
        Cloud::cloud_init();
        params->tenant_code = "OLD";
        params->pos_id = "1";
    }

    void expect_binding_unchanged() {
        EXPECT_EQ(read_file("tenant.json"), kTenantJson);
        EXPECT_EQ(read_file("posId.json"), kPosIdJson);
        EXPECT_EQ(params->tenant_code, "OLD");
        EXPECT_EQ(params->pos_id, "1");
    }

    void tenant_is_known() { cloud.answer("GET", kTenantPath, json(R"({"code":0,"data":true})")); }

    MockCloud cloud;
};

TEST_F(CloudLink, TemplatesPutPrefixAndHostBeforeEachPath) {
    params->dev = "pre";
    params->cloud_host = "cloud.example";
    Cloud::cloud_init();
    EXPECT_EQ(params->url_bind, "%s.cloud.example/%s/newretail/api/pos/machine/bind");
    EXPECT_EQ(params->url_unbind, "%s.cloud.example/%s/newretail/api/pos/machine/unbind?mac=%s&snNo=%s");
    EXPECT_EQ(params->url_report, "%s.cloud.example/%s/newretail/api/search/product/saveImageIdentify");
    EXPECT_EQ(params->url_upload, "%s.cloud.example/%s/newretail/api/dfs/upload");
    EXPECT_EQ(params->url_update_mac, "%s.cloud.example/%s/newretail/api/pos/machine/updateMacByOld");
    EXPECT_EQ(params->url_query_tenant, "%s.cloud.example/0/newretail/api/sys/org/queryTenant?tenantCode=%s");
    EXPECT_EQ(Cloud::format_url(params->url_bind, {params->dev, "T01"}),
              "pre.cloud.example/T01/newretail/api/pos/machine/bind");
}

TEST_F(CloudLink, BuildDefaultHostServesWhenDevIniNamesNone) {
    params->cloud_host.clear();
    Cloud::cloud_init();
    EXPECT_EQ(params->url_upload, std::string("%s.") + QX_CLOUD_HOST_DEFAULT + "/%s/newretail/api/dfs/upload");
}

TEST_F(CloudLink, PercentInHostOrValuesStaysLiteral) {
    params->cloud_host = "h%sx";
    Cloud::cloud_init();
    EXPECT_EQ(Cloud::format_url(params->url_upload, {"p", "%s%%"}), "p.h%sx/%s%%/newretail/api/dfs/upload");
    EXPECT_EQ(Cloud::format_url("%s/%s/%d", {"only"}), "only//%d");
}

// ---- tenant check ----

struct TenantCase {
    const char* name;
    MockAnswer answer;
    int expected;
    const char* log_line;  // nullptr: neither failure line
};
void PrintTo(const TenantCase& c, std::ostream* os) { *os << c.name; }

class TenantCheck : public CloudLink, public ::testing::WithParamInterface<TenantCase> {};

TEST_P(TenantCheck, AnswerDecidesTheResult) {
    cloud.answer("GET", kTenantPath, GetParam().answer);
    EXPECT_EQ(checkTenant("T01"), GetParam().expected);
    auto seen = cloud.seen("GET", kTenantPath);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].query["tenantCode"], "T01");
    const std::string log = log_text();
    EXPECT_NE(log.find("tenantUrl is http://t.localhost:" + std::to_string(cloud.port()) + kTenantPath +
                       "?tenantCode=T01"),
              std::string::npos);
    if (!GetParam().log_line) {
        EXPECT_EQ(log.find("没有找到"), std::string::npos);
    } else {
        const std::string line = std::string("tenantCode:T01 ") + GetParam().log_line + "\n";
        EXPECT_NE(log.find(line), std::string::npos) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TenantCheck,
    ::testing::Values(TenantCase{"Known", json(R"({"code":0,"data":true})"), 0, nullptr},
                      TenantCase{"KnownWithStatus500", json(R"({"code":0,"data":true})", 500), 0, nullptr},
                      TenantCase{"DataFalse", json(R"({"code":0,"data":false})"), -4004, "没有找到1"},
                      TenantCase{"Code500", json(R"({"code":500})"), -4004, "没有找到"},
                      TenantCase{"NotJson", json("<html>busy</html>"), -4004, "没有找到1"},
                      TenantCase{"Empty", json(""), -4004, "没有找到1"},
                      TenantCase{"CodeAsText", json(R"({"code":"0","data":true})"), -4004, "没有找到1"},
                      TenantCase{"DataAsText", json(R"({"code":0,"data":"true"})"), -4004, "没有找到1"},
                      TenantCase{"Array", json("[0,true]"), -4004, "没有找到1"},
                      TenantCase{"CutTransfer", {200, R"({"code":0,"data":true})", MockAnswer::Kind::Cut}, -4004,
                                 "没有找到1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CloudLink, TenantCheckWithNoServerFails) {
    params->cloud_host = "localhost:" + std::to_string(closed_loopback_port());
    Cloud::cloud_init();
    EXPECT_EQ(checkTenant("T01"), -4004);
    EXPECT_NE(log_text().find("tenantCode:T01 没有找到1"), std::string::npos);
}

// ---- binding ----

TEST_F(CloudLink, BindSendsTheBodyAndStoresTheBinding) {
    tenant_is_known();
    cloud.answer("PUT", kBindPath, json(R"({"code":0,"data":{"id":"77"}})"));
    EXPECT_EQ(InitPos("T01", "P01", "SN1"), 0);
    auto seen = cloud.seen("PUT", kBindPath);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, R"({"code":"P01","macAddress":")" + device_mac() + R"(","snNo":"SN1"})");
    EXPECT_EQ(seen[0].header("content-type"), "application/json");
    EXPECT_EQ(read_file("tenant.json"), R"({"demo":"T01"})");
    EXPECT_EQ(read_file("posId.json"), R"({"posId":"77"})");
    EXPECT_EQ(params->tenant_code, "T01");
    EXPECT_EQ(params->pos_id, "77");
    EXPECT_EQ(list_dir("."), (std::vector<std::string>{"dev.ini", "posId.json", "tenant.json", "tmp"}));
}

TEST_F(CloudLink, BindWithEmptyTenantKeepsTenantJsonButRewritesPosId) {
    cloud.answer("GET", kTenantPath, json(R"({"code":0,"data":true})"));
    cloud.answer("PUT", "//newretail/api/pos/machine/bind", json(R"({"code":0,"data":{"id":"78"}})"));
    EXPECT_EQ(InitPos("", "P01", "SN1"), 0);
    EXPECT_EQ(read_file("tenant.json"), kTenantJson);
    EXPECT_EQ(read_file("posId.json"), R"({"posId":"78"})");
    EXPECT_EQ(params->tenant_code, "");
}

TEST_F(CloudLink, BindStopsWhenTheTenantIsUnknown) {
    cloud.answer("GET", kTenantPath, json(R"({"code":0,"data":false})"));
    cloud.answer("PUT", kBindPath, json(R"({"code":0,"data":{"id":"77"}})"));
    EXPECT_EQ(InitPos("T01", "P01", "SN1"), -4004);
    EXPECT_TRUE(cloud.seen("PUT", kBindPath).empty());
    expect_binding_unchanged();
}

TEST_F(CloudLink, LongTenantCodeReachesTheServerWhole) {
    const std::string tenant(300, 'T');
    tenant_is_known();
    const std::string path = "/" + tenant + "/newretail/api/pos/machine/bind";
    cloud.answer("PUT", path, json(R"({"code":0,"data":{"id":"9"}})"));
    EXPECT_EQ(InitPos(tenant.c_str(), "P01", "SN1"), 0);
    EXPECT_EQ(cloud.seen("GET", kTenantPath).at(0).query["tenantCode"], tenant);
    EXPECT_EQ(cloud.seen("PUT", path).size(), 1u);
}

struct BindCase {
    const char* name;
    MockAnswer answer;
    int expected;
    std::string log_line;
};
void PrintTo(const BindCase& c, std::ostream* os) { *os << c.name; }

class Binding : public CloudLink, public ::testing::WithParamInterface<BindCase> {};

TEST_P(Binding, UnsuccessfulAnswerChangesNothing) {
    tenant_is_known();
    cloud.answer("PUT", kBindPath, GetParam().answer);
    EXPECT_EQ(InitPos("T01", "P01", "SN1"), GetParam().expected);
    expect_binding_unchanged();
    std::string line = GetParam().log_line;
    const size_t mac_at = line.find("{mac}");
    if (mac_at != std::string::npos) line.replace(mac_at, 5, device_mac());
    EXPECT_NE(log_text().find(line), std::string::npos) << line;
}

const std::string kBindOther = "initPos failed errorCode: ";
const std::string kNoAnswer = "failed: no usable answer";
const std::string kNoId = "initPos failed: the answer holds no terminal id";

INSTANTIATE_TEST_SUITE_P(
    Answers, Binding,
    ::testing::Values(
        BindCase{"SnNotFound", json(R"({"code":65014})"), -4001, "snCode没有找到SN1"},
        BindCase{"PosBoundElsewhere", json(R"({"code":65017})"), -4002,
                 "该posCode:P01,已经绑定过,并且绑定的mac地址和传入的mac地址不一致"},
        BindCase{"MacBoundElsewhere", json(R"({"code":65006})"), -4003,
                 "此POS的MAC地址:{mac} 绑定过其它POS机，请联系管理员确认POS机编号！"},
        BindCase{"MacBoundElsewhereStatus500", json(R"({"code":65006})", 500), -4003, "此POS的MAC地址:"},
        BindCase{"NotBoundCode", json(R"({"code":65019})"), -2006, kBindOther + "65019"},
        BindCase{"OtherCode", json(R"({"code":1,"data":{"id":"77"}})"), -2006, kBindOther + "1"},
        BindCase{"NotJson", json("Bad Gateway"), -2006, kNoAnswer},
        BindCase{"Empty", json(""), -2006, kNoAnswer},
        BindCase{"JsonNull", json("null"), -2006, kNoAnswer},
        BindCase{"CodeAsText", json(R"({"code":"0","data":{"id":"77"}})"), -2006, kNoAnswer},
        BindCase{"CodeAsFraction", json(R"({"code":0.0,"data":{"id":"77"}})"), -2006, kNoAnswer},
        BindCase{"NoData", json(R"({"code":0})"), -2006, kNoId},
        BindCase{"DataAsText", json(R"({"code":0,"data":"77"})"), -2006, kNoId},
        BindCase{"IdAsNumber", json(R"({"code":0,"data":{"id":77}})"), -2006, kNoId},
        BindCase{"EmptyId", json(R"({"code":0,"data":{"id":""}})"), -2006, kNoId},
        BindCase{"CutTransfer", {200, R"({"code":0,"data":{"id":"77"}})", MockAnswer::Kind::Cut}, -2006,
                 kNoAnswer}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- unbinding ----

TEST_F(CloudLink, UnbindSendsMacAndSnAndChangesNothing) {
    tenant_is_known();
    cloud.answer("GET", kUnbindPath, json(R"({"code":0})"));
    EXPECT_EQ(UnbindPos("T01", "SN1"), 0);
    auto seen = cloud.seen("GET", kUnbindPath);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, std::string(kUnbindPath) + "?mac=" + device_mac() + "&snNo=SN1");
    expect_binding_unchanged();
}

TEST_F(CloudLink, UnbindStopsWhenTheTenantIsUnknown) {
    cloud.answer("GET", kTenantPath, json(R"({"code":404})"));
    EXPECT_EQ(UnbindPos("T01", "SN1"), -4004);
    EXPECT_TRUE(cloud.seen("GET", kUnbindPath).empty());
}

class Unbinding : public CloudLink, public ::testing::WithParamInterface<BindCase> {};

TEST_P(Unbinding, AnswerDecidesTheResult) {
    tenant_is_known();
    cloud.answer("GET", kUnbindPath, GetParam().answer);
    EXPECT_EQ(UnbindPos("T01", "SN1"), GetParam().expected);
    expect_binding_unchanged();
    EXPECT_NE(log_text().find(GetParam().log_line), std::string::npos) << GetParam().log_line;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Unbinding,
    ::testing::Values(
        BindCase{"SnNotFound", json(R"({"code":65014})"), -4001, "snCode没有找到SN1"},
        BindCase{"SnNotBound", json(R"({"code":65019})"), -4005, "snCode:SN1并未绑定无需解绑"},
        BindCase{"MacMismatch", json(R"({"code":65017})"), -4006, "该pos现在的mac地址和服务器记录的mac地址不一致 无法解绑"},
        BindCase{"MacBoundCode", json(R"({"code":65006})"), -2006, kBindOther + "65006"},
        BindCase{"OtherCode", json(R"({"code":7})", 500), -2006, kBindOther + "7"},
        BindCase{"NotJson", json("<html></html>"), -2006, kNoAnswer},
        BindCase{"Empty", json(""), -2006, kNoAnswer},
        BindCase{"EmptyObject", json("{}"), -2006, kNoAnswer},
        BindCase{"CodeAsText", json(R"({"code":"0"})"), -2006, kNoAnswer},
        BindCase{"CodeTooBig", json(R"({"code":4294967296})"), -2006, kNoAnswer},
        BindCase{"CutTransfer", {200, R"({"code":0})", MockAnswer::Kind::Cut}, -2006, kNoAnswer}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- exported calls around Init and Close ----

class CloudStartup : public CloudLink {
protected:
    void TearDown() override {
        Close();
        CloudLink::TearDown();
    }
};

TEST_F(CloudStartup, BindingSurvivesARestart) {
    Close();
    ASSERT_EQ(Init(), 0);
    EXPECT_STREQ(params->mac_addr, device_mac().c_str());
    EXPECT_NE(log_text().find("params->mac_addr:" + device_mac() + "\n"), std::string::npos);
    tenant_is_known();
    cloud.answer("PUT", kBindPath, json(R"({"code":0,"data":{"id":"77"}})"));
    ASSERT_EQ(InitPos("T01", "P01", "SN1"), 0);
    Close();
    ASSERT_EQ(Init(), 0);
    EXPECT_EQ(params->tenant_code, "T01");
    EXPECT_EQ(params->pos_id, "77");
}

TEST_F(CloudStartup, CallsAfterCloseFailWithoutARequest) {
    Close();
    EXPECT_EQ(InitPos("T01", "P01", "SN1"), -2006);
    EXPECT_EQ(UnbindPos("T01", "SN1"), -2006);
    EXPECT_TRUE(cloud.seen().empty());
}

TEST_F(CloudStartup, NullTextsReadAsEmpty) {
    cloud.answer("GET", kTenantPath, json(R"({"code":0,"data":false})"));
    EXPECT_EQ(InitPos(nullptr, nullptr, nullptr), -4004);
    EXPECT_EQ(UnbindPos(nullptr, nullptr), -4004);
    auto seen = cloud.seen("GET", kTenantPath);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].target, std::string(kTenantPath) + "?tenantCode=");
}

// ---- binding files ----

class StorageFile : public TempDirTest {};

TEST_F(StorageFile, WritesOneCompactMemberReplacingTheFile) {
    write_file("tenant.json", "{\n  \"demo\": \"A much longer earlier binding\",\n  \"x\": 1\n}\n");
    EXPECT_EQ(Storage("/demo", "T01", "tenant.json"), 0);
    EXPECT_EQ(read_file("tenant.json"), R"({"demo":"T01"})");
    EXPECT_EQ(list_dir("."), std::vector<std::string>{"tenant.json"});
}

TEST_F(StorageFile, RefusesABadPointerOrAMissingFolder) {
    EXPECT_EQ(Storage("demo", "T01", "tenant.json"), -1);
    EXPECT_EQ(Storage(nullptr, "T01", "tenant.json"), -1);
    EXPECT_EQ(Storage("/demo", "T01", "missing/tenant.json"), -1);
    EXPECT_EQ(list_dir("."), std::vector<std::string>{"tmp"});  // the day's log only
}

// ---- device identity ----

TEST(MacText, SixBytesInUpperCaseHexWithColons) {
    char mac[32];
    const unsigned char first[6] = {0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f};
    qx_auty_format_mac(first, mac);
    EXPECT_STREQ(mac, "0A:1B:2C:3D:4E:5F");
    const unsigned char second[6] = {0x00, 0x11, 0x22, 0x33, 0x04, 0x55};
    qx_auty_format_mac(second, mac);
    EXPECT_STREQ(mac, "00:11:22:33:04:55");
}

TEST(MacText, DeviceAddressIsSeventeenCharactersOrNothing) {
    char mac[32] = "junk";
    const int length = qx_auty_getmacaddresses(mac);
    if (length == 17) {
        EXPECT_TRUE(std::regex_match(mac, std::regex("([0-9A-F]{2}:){5}[0-9A-F]{2}"))) << mac;
    } else {
        EXPECT_EQ(length, -1);
        EXPECT_STREQ(mac, "");
    }
}

TEST(MacText, SecondInterfaceAnswersWhenTheFirstIsMissing) {
    char mac[32] = "junk";
    EXPECT_EQ(qx_auty_getmacaddresses_of({"qxnosuch0", "lo"}, mac), 17);
    EXPECT_STREQ(mac, "00:00:00:00:00:00");
}

TEST(MacText, NoInterfaceLeavesTheTextEmpty) {
    char mac[32] = "junk";
    EXPECT_EQ(qx_auty_getmacaddresses_of({"qxnosuch0", "qxnosuch1"}, mac), -1);
    EXPECT_STREQ(mac, "");
}
