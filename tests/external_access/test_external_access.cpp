// kavophoto_external_access against a recording stand-in of the web-API program.
#include <gtest/gtest.h>

#include "harness.h"

using namespace lumora::test;

namespace {

const char kWebApi[] = "/usr/kavo/bin/kavowebapi";
const char kUsage[] = "USAGE : kavophoto_external_access [--zephlink|--ddns|--external_ip]\n";

// A web-API stand-in answering each API name with the given JSON text.
void answer(ApplianceRoot &root, const std::string &permission, const std::string &relay,
            const std::string &extIp = "") {
    std::string script =
        "case \"$2\" in\n"
        "api=KAVO.Core.Zephlink.Permission) printf '%s' '" +
        permission +
        "' ;;\n"
        "api=KAVO.Core.Zephlink) printf '%s' '" +
        relay +
        "' ;;\n"
        "api=KAVO.Core.DDNS.ExtIP) printf '%s' '" +
        extIp + "' ;;\nesac";
    root.standIn(kWebApi, 0, script);
}

const std::string kRelayOn =
    R"({"success":true,"data":{"enabled":true,"server_alias":"myphotos","region":"eu","domain":"relay.example"}})";

RunResult probe(ApplianceRoot &root, const char *what) {
    return root.run({program("kavophoto_external_access"), what});
}

}  // namespace

TEST(ExternalAccess, UsageForAnythingButOneKnownArgument) {
    ApplianceRoot root;
    const std::string prog = program("kavophoto_external_access");
    for (auto argv : std::vector<std::vector<std::string>>{
             {prog}, {prog, "--ddns", "--zephlink"}, {prog, "--wan"}}) {
        auto r = root.run(argv);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, kUsage);
    }
}

TEST(ExternalAccess, RelayAddressFollowsThePermissionAnswer) {
    ApplianceRoot root;
    answer(root, R"({"success":true,"data":{"services":[{"id":"photo_portal","enabled":true}]}})",
           kRelayOn);
    auto r = probe(root, "--zephlink");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "myphotos.eu.relay.example");
    auto calls = root.calls(kWebApi);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].argv,
              (std::vector<std::string>{kWebApi, "--exec", "api=KAVO.Core.Zephlink.Permission",
                                        "version=1", "method=get", "runner=admin", "params=null"}));
    EXPECT_EQ(calls[1].argv[2], "api=KAVO.Core.Zephlink");

    // Not configured (102) still leads to the relay configuration.
    answer(root, R"({"success":false,"error":{"code":102}})", kRelayOn);
    r = probe(root, "--zephlink");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "myphotos.eu.relay.example");

    // Any other error, an answer that says neither success nor failure, a disabled portal,
    // another service, garbage: nothing printed.
    for (const char *perm :
         {R"({"success":false,"error":{"code":105}})", R"({"error":{"code":102}})",
          R"({"success":"false","error":{"code":102}})", R"({"success":null,"error":{"code":102}})",
          R"({"success":true,"data":{"services":[{"id":"photo_portal","enabled":false}]}})",
          R"({"success":true,"data":{"services":[{"id":"file_portal","enabled":true}]}})",
          R"({"success":true,"data":{"services":"photo_portal"}})", "not json at all"}) {
        answer(root, perm, kRelayOn);
        r = probe(root, "--zephlink");
        EXPECT_EQ(r.status, 255) << perm;
        EXPECT_EQ(r.out, "") << perm;
        EXPECT_EQ(root.calls(kWebApi).size(), 1u) << perm;
    }
}

TEST(ExternalAccess, RelayAddressNeedsEveryPart) {
    ApplianceRoot root;
    for (
        const char *relay :
        {R"({"success":true,"data":{"enabled":true,"server_alias":"a","region":"","domain":"d"}})",
         R"({"success":true,"data":{"enabled":true,"server_alias":"a","region":"r"}})",
         R"({"success":true,"data":{"enabled":false,"server_alias":"a","region":"r","domain":"d"}})",
         R"({"success":false,"data":{"enabled":true,"server_alias":"a","region":"r","domain":"d"}})",
         R"({"data":{"enabled":true,"server_alias":"a","region":"r","domain":"d"}})"}) {
        answer(root, R"({"success":false,"error":{"code":102}})", relay);
        auto r = probe(root, "--zephlink");
        EXPECT_EQ(r.status, 255) << relay;
        EXPECT_EQ(r.out, "") << relay;
    }
}

TEST(ExternalAccess, ExternalIpTakesTheFirstWanEntry) {
    ApplianceRoot root;
    answer(root, "", "",
           R"({"success":true,"data":[{"ip":"10.0.0.2","type":"LAN"},{"ip":7,"type":"WAN"},)"
           R"({"ip":"203.0.113.9","type":"WAN"},{"ip":"198.51.100.1","type":"WAN"}]})");
    auto r = probe(root, "--external_ip");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "203.0.113.9");
    EXPECT_EQ(root.calls(kWebApi)[0].argv[2], "api=KAVO.Core.DDNS.ExtIP");
    EXPECT_EQ(root.calls(kWebApi)[0].argv[4], "method=list");

    answer(root, "", "", R"({"success":true,"data":[{"ip":"10.0.0.2","type":"LAN"}]})");
    r = probe(root, "--external_ip");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");

    answer(root, "", "", R"({"success":true,"data":{}})");
    EXPECT_EQ(probe(root, "--external_ip").status, 255);
    answer(root, "", "", R"({"data":[{"ip":"203.0.113.9","type":"WAN"}]})");
    r = probe(root, "--external_ip");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    // A missing web-API program answers as a failed request.
    unlink(kWebApi);
    EXPECT_EQ(probe(root, "--external_ip").status, 255);
}

TEST(ExternalAccess, DdnsHostFromTheSelectedSection) {
    ApplianceRoot root;
    EXPECT_EQ(probe(root, "--ddns").status, 255);  // no configuration at all
    root.writeFile("/etc/kavoinfo.conf", "hostname=\"nas\"\nddns_select=\"second\"\n");
    EXPECT_EQ(probe(root, "--ddns").status, 255);  // no section file
    root.writeFile("/etc/ddns.conf",
                   "[first]\nhostname=\"one.example\"\n[second]\nuser=\"x\"\n"
                   "hostname=\"two.example\"\n");
    auto r = probe(root, "--ddns");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "two.example");
    root.writeFile("/etc/kavoinfo.conf", "ddns_select=\"third\"\n");
    EXPECT_EQ(probe(root, "--ddns").status, 255);
    EXPECT_TRUE(root.calls(kWebApi).empty());
}

TEST(ExternalAccess, AnAddressThatCannotBeWrittenIsAFailure) {
    ApplianceRoot root;
    answer(root, R"({"success":false,"error":{"code":102}})", kRelayOn,
           R"({"success":true,"data":[{"ip":"10.0.0.2","type":"LAN"}]})");
    root.writeFile("/etc/kavoinfo.conf", "ddns_select=\"first\"\n");
    root.writeFile("/etc/ddns.conf", "[first]\nhostname=\"one.example\"\n");
    // --external_ip finds no WAN entry and has nothing to print.
    const std::vector<std::pair<std::string, int>> cases = {
        {"--zephlink", 255}, {"--ddns", 255}, {"--external_ip", 0}};
    for (const auto &[arg, status] : cases) {
        root.clearLog();
        auto r = root.run({"/bin/sh", "-c", "exec \"$0\" \"$1\" >/dev/full",
                           program("kavophoto_external_access"), arg});
        EXPECT_EQ(r.status, status) << arg;
        EXPECT_EQ(root.logged("failed to write standard output"), status != 0) << arg;
    }
}
