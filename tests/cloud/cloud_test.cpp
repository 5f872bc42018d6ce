#include "cloud/cloud.h"

#include "api/binding.h"
#include "api/context.h"
#include "api/settings.h"
#include "mock_cloud.h"
#include "qx_ai.h"
#include "support/log.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#include <iterator>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

const char kTenantPath[] = "/0/newretail/api/sys/org/queryTenant";
const char kBindPath[] = "/T01/newretail/api/pos/machine/bind";
const char kUnbindPath[] = "/T01/newretail/api/pos/machine/unbind";
// Longer than what a bind writes: a file left untruncated would show it.
const char kTenantJson[] = R"({"demo":"OLD-TENANT"})";
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
MockAnswer cut(const std::string& body) { return {200, body, MockAnswer::Kind::Cut}; }

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
        binding_init_urls(params);
        params->tenant_code = "OLD-TENANT";
        params->pos_id = "1";
    }
    void TearDown() override {
        Close();
        TempDirTest::TearDown();
    }
    void expect_binding_unchanged() {
        EXPECT_EQ(read_file("tenant.json") + read_file("posId.json"), std::string(kTenantJson) + kPosIdJson);
        EXPECT_EQ(params->tenant_code + "/" + params->pos_id, "OLD-TENANT/1");
    }
    void tenant_is_known() { cloud.answer("GET", kTenantPath, json(R"({"code":0,"data":true})")); }

    MockCloud cloud;
};

// A "%" in the host or a value must not act as a placeholder.
TEST_F(CloudLink, PercentInHostOrValuesStaysLiteral) {
    params->cloud_host = "h%sx";
    binding_init_urls(params);
    EXPECT_EQ(Cloud::format_url(params->url_upload, {"p", "%s%%"}), "p.h%sx/%s%%/newretail/api/dfs/upload");
}

TEST_F(CloudLink, TenantCheckPassesOnlyOnCodeZeroWithDataTrue) {
    struct Case {
        const char* tenant;
        MockAnswer answer;
        const char* failure;  // the log line's end; nullptr for success
    } const cases[] = {
        {"KNOWN", json(R"({"code":0,"data":true})", 500), nullptr},
        {"FALSE", json(R"({"code":0,"data":false})"), "没有找到1"},
        {"TEXT", json(R"({"code":0,"data":"true"})"), "没有找到1"},
        {"CODE", json(R"({"code":500})"), "没有找到"},
        {"HTML", json("<html>busy</html>"), "没有找到1"},
        {"CUT", cut(R"({"code":0,"data":true})"), "没有找到1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tenant);
        cloud.answer("GET", kTenantPath, c.answer);
        EXPECT_EQ(checkTenant(c.tenant), c.failure ? -4004 : 0);
        EXPECT_EQ(cloud.seen("GET", kTenantPath).back().query["tenantCode"], c.tenant);
        const std::string log = log_text();
        EXPECT_NE(log.find("tenantUrl is http://t.localhost:" + std::to_string(cloud.port()) + kTenantPath +
                           "?tenantCode=" + c.tenant + "\n"),
                  std::string::npos);
        const std::string line = std::string("tenantCode:") + c.tenant + " " + (c.failure ? c.failure : "没有找到");
        EXPECT_EQ(log.find(line + (c.failure ? "\n" : "")) != std::string::npos, c.failure != nullptr) << line;
    }
    // An unknown tenant stops a bind or unbind before its request.
    EXPECT_EQ(InitPos("T01", "P01", "SN1"), -4004);
    EXPECT_EQ(UnbindPos("T01", "SN1"), -4004);
    EXPECT_EQ(cloud.seen().size(), std::size(cases) + 2);
    expect_binding_unchanged();
}

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
    EXPECT_EQ(params->tenant_code + "/" + params->pos_id, "T01/77");
    EXPECT_EQ(list_dir("."), (std::vector<std::string>{"dev.ini", "posId.json", "tenant.json", "tmp"}));
}

TEST_F(CloudLink, EmptyOrLongTenantCodeGoesIntoTheUrlAsGiven) {
    tenant_is_known();
    cloud.answer("PUT", "//newretail/api/pos/machine/bind", json(R"({"code":0,"data":{"id":"78"}})"));
    EXPECT_EQ(InitPos("", "P01", "SN1"), 0);
    EXPECT_EQ(read_file("tenant.json"), kTenantJson);  // no tenant to remember
    EXPECT_EQ(read_file("posId.json"), R"({"posId":"78"})");
    EXPECT_EQ(params->tenant_code, "");
    // Longer than the 200 bytes a URL once had to fit in, and the longest a binding stores.
    const std::string tenant(256, 'T');
    cloud.answer("PUT", "/" + tenant + "/newretail/api/pos/machine/bind", json(R"({"code":0,"data":{"id":"9"}})"));
    EXPECT_EQ(InitPos(tenant.c_str(), "P01", "SN1"), 0);
    EXPECT_EQ(cloud.seen("GET", kTenantPath).back().query["tenantCode"], tenant);
    EXPECT_EQ(params->tenant_code, tenant);
    // One byte more, in the tenant or the POS code, is refused before anything
    // is sent: the cloud once bound the device while the host was told -2006.
    const std::string longer = tenant + "T";
    cloud.answer("PUT", "/" + longer + "/newretail/api/pos/machine/bind", json(R"({"code":0,"data":{"id":"10"}})"));
    const size_t requests = cloud.seen().size();
    EXPECT_EQ(InitPos(longer.c_str(), "P01", "SN1"), -2006);
    EXPECT_EQ(InitPos(tenant.c_str(), std::string(257, 'P').c_str(), "SN1"), -2006);
    EXPECT_EQ(cloud.seen().size(), requests);
    EXPECT_EQ(params->tenant_code, tenant);
    EXPECT_EQ(read_file("posId.json"), R"({"posId":"9"})");
}

TEST_F(CloudLink, UnbindSendsMacAndSnAndChangesNothing) {
    tenant_is_known();
    cloud.answer("GET", kUnbindPath, json(R"({"code":0})"));
    EXPECT_EQ(UnbindPos("T01", "SN1"), 0);
    auto seen = cloud.seen("GET", kUnbindPath);
    ASSERT_EQ(seen.size(), 1u);
    std::string mac = device_mac();
    for (size_t colon; (colon = mac.find(':')) != std::string::npos;) mac.replace(colon, 1, "%3A");
    EXPECT_EQ(seen[0].target, std::string(kUnbindPath) + "?mac=" + mac + "&snNo=SN1");
    EXPECT_EQ(seen[0].query["mac"], device_mac());
    expect_binding_unchanged();
}

// An answer that is no JSON object with an integer code must not pass for
// success: an empty body read as code 0 would unbind, or bind with no id.
TEST_F(CloudLink, UnsuccessfulBindOrUnbindAnswerChangesNothing) {
    const std::string other = "initPos failed errorCode: ", no_answer = "failed: no usable answer";
    struct Case {
        bool unbind;
        MockAnswer answer;
        int expected;
        std::string log_line;
    } const cases[] = {
        {false, json(R"({"code":65014})"), -4001, "snCode没有找到SN1"},
        {false, json(R"({"code":65017})"), -4002, "该posCode:P01,已经绑定过,并且绑定的mac地址和传入的mac地址不一致"},
        {false, json(R"({"code":65006})", 500), -4003,
         "此POS的MAC地址:" + device_mac() + " 绑定过其它POS机，请联系管理员确认POS机编号！"},
        {false, json(R"({"code":65019,"data":{"id":"77"}})"), -2006, other + "65019"},
        {false, json("Bad Gateway"), -2006, no_answer},
        {false, json(""), -2006, no_answer},
        {false, json(R"({"code":"0","data":{"id":"77"}})"), -2006, no_answer},
        {false, json(R"({"code":0,"data":{"id":""}})"), -2006, "initPos failed: the answer holds no terminal id"},
        {false, cut(R"({"code":0,"data":{"id":"77"}})"), -2006, no_answer},
        {true, json(R"({"code":65014})"), -4001, "snCode没有找到SN1"},
        {true, json(R"({"code":65019})"), -4005, "snCode:SN1并未绑定无需解绑"},
        {true, json(R"({"code":65017})"), -4006, "该pos现在的mac地址和服务器记录的mac地址不一致 无法解绑"},
        {true, json(R"({"code":65006})"), -2006, other + "65006"},
        {true, json(""), -2006, no_answer},
        {true, cut(R"({"code":0})"), -2006, no_answer},
    };
    tenant_is_known();
    for (const Case& c : cases) {
        SCOPED_TRACE((c.unbind ? "unbind " : "bind ") + c.answer.body);
        const size_t logged = log_text().size();
        cloud.answer(c.unbind ? "GET" : "PUT", c.unbind ? kUnbindPath : kBindPath, c.answer);
        EXPECT_EQ(c.unbind ? UnbindPos("T01", "SN1") : InitPos("T01", "P01", "SN1"), c.expected);
        expect_binding_unchanged();
        EXPECT_NE(log_text().find(c.log_line, logged), std::string::npos) << c.log_line;
    }
}

TEST_F(CloudLink, ExportedCallsRefuseNullAndSendNothingAfterClose) {
    Close();
    ASSERT_EQ(Init(), 0);
    EXPECT_STREQ(params->mac_addr, device_mac().c_str());
    EXPECT_NE(log_text().find("params->mac_addr:" + device_mac() + "\n"), std::string::npos);
    cloud.answer("GET", kTenantPath, json(R"({"code":0,"data":false})"));
    EXPECT_EQ(InitPos(nullptr, nullptr, nullptr), QX_ERR_ARGUMENT);
    EXPECT_EQ(InitPos("T01", "P01", nullptr), QX_ERR_ARGUMENT);
    EXPECT_EQ(UnbindPos(nullptr, "SN1"), QX_ERR_ARGUMENT);
    EXPECT_EQ(cloud.seen().size(), 0u);
    EXPECT_EQ(InitPos("", "", ""), -4004);
    ASSERT_EQ(cloud.seen().size(), 1u);
    EXPECT_EQ(cloud.seen()[0].target, std::string(kTenantPath) + "?tenantCode=");
    Close();
    EXPECT_EQ(InitPos("T01", "P01", "SN1"), QX_ERR_NOT_READY);
    EXPECT_EQ(UnbindPos("T01", "SN1"), QX_ERR_NOT_READY);
    EXPECT_EQ(cloud.seen().size(), 1u);
}

// Values once went into the URLs as they were: "T01#x" asked the tenant check
// about "T01", an SN holding "&mac=" added a parameter, a space made libcurl
// refuse the URL and the call answered "tenant unknown".
TEST_F(CloudLink, ValuesAreEscapedIntoTheirOwnPlaceInTheUrl) {
    tenant_is_known();
    struct Case {
        const char* tenant;
        const char* escaped;
    } const cases[] = {{"T01#x", "T01%23x"}, {"T 01", "T%2001"}, {"T/../x?y", "T%2F..%2Fx%3Fy"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tenant);
        const std::string bind = std::string("/") + c.tenant + "/newretail/api/pos/machine/bind";
        cloud.answer("PUT", bind, json(R"({"code":0,"data":{"id":"77"}})"));
        EXPECT_EQ(InitPos(c.tenant, "P01", "SN1"), 0);
        EXPECT_EQ(cloud.seen("GET", kTenantPath).back().query["tenantCode"], c.tenant);
        EXPECT_EQ(cloud.seen("GET", kTenantPath).back().target, std::string(kTenantPath) + "?tenantCode=" + c.escaped);
        ASSERT_EQ(cloud.seen("PUT", bind).size(), 1u);
        EXPECT_EQ(cloud.seen("PUT", bind)[0].target, std::string("/") + c.escaped + "/newretail/api/pos/machine/bind");
        EXPECT_EQ(read_file("tenant.json"), std::string(R"({"demo":")") + c.tenant + "\"}");
    }
    cloud.answer("GET", kUnbindPath, json(R"({"code":0})"));
    EXPECT_EQ(UnbindPos("T01", "SN1&mac=00:00:00:00:00:00"), 0);
    const SeenRequest unbind = cloud.seen("GET", kUnbindPath).at(0);
    EXPECT_EQ(unbind.query.size(), 2u);
    EXPECT_EQ(unbind.query.at("snNo"), "SN1&mac=00:00:00:00:00:00");
    EXPECT_EQ(unbind.query.at("mac"), device_mac());
    // Plain values stay byte-identical.
    EXPECT_NE(log_text().find("url is http://t.localhost:" + std::to_string(cloud.port()) +
                              "/T01/newretail/api/pos/machine/unbind?mac="),
              std::string::npos);
}

// A URL libcurl cannot send is refused as such, not taken for an unknown tenant.
TEST_F(CloudLink, UnsendableUrlIsRefusedNotAnUnknownTenant) {
    params->dev = "ht tp://bad";
    EXPECT_EQ(InitPos("T01", "P01", "SN1"), QX_ERR_BINDING);
    EXPECT_EQ(UnbindPos("T01", "SN1"), QX_ERR_BINDING);
    EXPECT_NE(log_text().find("tenant check refused"), std::string::npos);
    EXPECT_TRUE(cloud.seen().empty());
    expect_binding_unchanged();
}

// A bind once answered 0 with tenant.json blocked; and its temporary file had
// a predictable name, so a link planted there carried the write elsewhere.
TEST_F(CloudLink, BindWritesBothBindingFilesOrNeither) {
    tenant_is_known();
    cloud.answer("PUT", kBindPath, json(R"({"code":0,"data":{"id":"77"}})"));
    for (const char* blocked : {"tenant.json", "posId.json"}) {
        SCOPED_TRACE(blocked);
        const std::string kept = read_file(blocked);
        ASSERT_EQ(std::remove(blocked), 0);
        ASSERT_EQ(mkdir(blocked, 0700), 0);
        EXPECT_EQ(InitPos("T01", "P01", "SN1"), QX_ERR_BINDING);
        EXPECT_EQ(params->tenant_code + "/" + params->pos_id, "OLD-TENANT/1");
        ASSERT_EQ(rmdir(blocked), 0);
        write_file(blocked, kept);
        expect_binding_unchanged();
        EXPECT_EQ(list_dir("."), (std::vector<std::string>{"dev.ini", "posId.json", "tenant.json", "tmp"}));
    }
    EXPECT_NE(log_text().find("initPos failed: the binding files could not be written"), std::string::npos);

    write_file(dir() + "/../outside-" + std::to_string(getpid()), "the host's");
    const std::string outside = dir() + "/../outside-" + std::to_string(getpid());
    for (const char* name : {"tenant.json", "posId.json"})
        ASSERT_EQ(symlink(outside.c_str(), (dir() + "/" + name + ".tmp." + std::to_string(getpid())).c_str()), 0);
    EXPECT_EQ(InitPos("T01", "P01", "SN1"), 0);
    EXPECT_EQ(read_file(outside), "the host's");
    std::remove(outside.c_str());
    EXPECT_EQ(read_file("tenant.json") + read_file("posId.json"), R"({"demo":"T01"}{"posId":"77"})");
}

// 2,000,000 "[" once overflowed the host's stack; an answer of 100 MB grew
// the host by hundreds of MB. Both now count as no answer.
TEST_F(CloudLink, DeepOrHugeAnswersCountAsNoAnswer) {
    const std::string deep(250000, '['), pad(1 << 20, 'x');
    cloud.answer("GET", kTenantPath, json(deep));
    EXPECT_EQ(InitPos("T01", "P01", "SN1"), -4004);
    cloud.answer("GET", kTenantPath, json(R"({"code":0,"data":true,"pad":")" + pad + "\"}"));
    EXPECT_EQ(InitPos("T01", "P01", "SN1"), -4004);
    tenant_is_known();
    for (const std::string& body : {deep, R"({"code":0,"data":{"id":"77"},"pad":")" + pad + "\"}"}) {
        cloud.answer("PUT", kBindPath, json(body));
        EXPECT_EQ(InitPos("T01", "P01", "SN1"), QX_ERR_BINDING);
        cloud.answer("GET", kUnbindPath, json(body));
        EXPECT_EQ(UnbindPos("T01", "SN1"), QX_ERR_BINDING);
    }
    expect_binding_unchanged();
}

// The bind's PUT keeps its 3 s limit: an answer after 5 s fails the bind.
TEST_F(CloudLink, BindAnsweredTooLateFails) {
    tenant_is_known();
    cloud.answer("PUT", kBindPath, {200, R"({"code":0,"data":{"id":"77"}})", MockAnswer::Kind::Slow});
    EXPECT_EQ(InitPos("T01", "P01", "SN1"), QX_ERR_BINDING);
    EXPECT_NE(log_text().find("no usable answer (transfer code 28)"), std::string::npos);
    expect_binding_unchanged();
}

// The binding's requests run without the library's locks: a Close made while a
// bind waits for its answer returns before the bind does.
TEST_F(CloudLink, CloseDoesNotWaitForABindInFlight) {
    tenant_is_known();
    cloud.answer("PUT", kBindPath, {200, R"({"code":0,"data":{"id":"77"}})", MockAnswer::Kind::Slow});
    std::atomic<bool> bind_returned{false};
    int result = 0;
    std::thread bind([&] {
        result = InitPos("T01", "P01", "SN1");
        bind_returned = true;
    });
    for (int wait = 0; wait < 400 && cloud.seen("PUT", kBindPath).empty(); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_FALSE(cloud.seen("PUT", kBindPath).empty());
    EXPECT_EQ(Close(), 0);
    EXPECT_FALSE(bind_returned);
    bind.join();
    EXPECT_EQ(result, QX_ERR_BINDING);
    EXPECT_EQ(read_file("tenant.json") + read_file("posId.json"), std::string(kTenantJson) + kPosIdJson);
}

TEST(MacText, UpperCaseHexOfTheFirstInterfaceThatAnswers) {
    char mac[32];
    const unsigned char address[6] = {0x0a, 0x1b, 0x2c, 0x3d, 0x04, 0x5f};
    qx_auty_format_mac(address, mac);
    EXPECT_STREQ(mac, "0A:1B:2C:3D:04:5F");
    std::strcpy(mac, "junk");
    EXPECT_EQ(qx_auty_getmacaddresses_of({"qxnosuch0", "lo"}, mac), 17);
    EXPECT_STREQ(mac, "00:00:00:00:00:00");
    std::strcpy(mac, "junk");
    EXPECT_EQ(qx_auty_getmacaddresses_of({"qxnosuch0", "qxnosuch1"}, mac), -1);
    EXPECT_STREQ(mac, "");
}
