// Web-API family: the request program's arguments and the answers it gives.
#include <json/json.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "webapi.h"

using lumora::test::ApplianceRoot;

namespace {

const char *const kProgram = "/usr/kavo/bin/kavowebapi";

Json::Value failure() {
    Json::Value v(Json::objectValue);
    v["success"] = false;
    v["error"]["code"] = 100;
    return v;
}

Json::Value ask(const char *api = "KAVO.Core.DDNS.ExtIP", const char *method = "list",
                const Json::Value &params = Json::Value(), const char *user = "admin") {
    Json::Value answer("left over");
    KAVO::APIRunner::Exec(answer, api, 1, method, params, user);
    return answer;
}

}  // namespace

TEST(WebApi, GoodAnswerIsParsedAndArgumentsArePassed) {
    ApplianceRoot root;
    root.standIn(kProgram, 0,
                 "printf '%s\\n' '{\"success\": true, \"data\": [{\"ip\": \"203.0.113.7\"}]}'");
    Json::Value answer = ask();
    EXPECT_TRUE(answer["success"].asBool());
    EXPECT_EQ(answer["data"][0]["ip"].asString(), "203.0.113.7");

    Json::Value params(Json::objectValue);
    params["name"] = "a \"quoted\" value";
    params["n"] = 2;
    answer = ask("KAVO.Core.Notification.Mail.Conf", "get", params, "some user");
    EXPECT_TRUE(answer["success"].asBool());

    auto calls = root.calls(kProgram);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].argv,
              (std::vector<std::string>{kProgram, "--exec", "api=KAVO.Core.DDNS.ExtIP", "version=1",
                                        "method=list", "runner=admin", "params=null"}));
    ASSERT_EQ(calls[1].argv.size(), 7u);
    EXPECT_EQ(calls[1].argv[2], "api=KAVO.Core.Notification.Mail.Conf");
    EXPECT_EQ(calls[1].argv[4], "method=get");
    EXPECT_EQ(calls[1].argv[5], "runner=some user");
    ASSERT_EQ(calls[1].argv[6].compare(0, 7, "params="), 0);
    Json::Value sent;
    Json::CharReaderBuilder rb;
    std::string errs, text = calls[1].argv[6].substr(7);
    EXPECT_EQ(text.find('\n'), std::string::npos);  // one argument, one line
    std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
    ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &sent, &errs));
    EXPECT_EQ(sent, params);

    // The parameters may be the answer object itself.
    Json::Value both(Json::objectValue);
    both["x"] = 1;
    KAVO::APIRunner::Exec(both, "KAVO.Core.Zephlink", 1, "get", both, "admin");
    EXPECT_TRUE(both["success"].asBool());
    calls = root.calls(kProgram);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].argv[6], "params={\"x\":1}");
}

TEST(WebApi, MissingFailingOrGarbageProgramGivesTheFailureAnswer) {
    ApplianceRoot root;
    EXPECT_EQ(ask(), failure());  // no program at all
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_EXEC);

    const std::vector<std::pair<int, std::string>> cases = {
        {1, "echo '{\"success\": true, \"data\": {}}'"},  // printed an answer but failed
        {255, "echo '{\"success\": true}'"},
        {0, "echo 'Segmentation fault'"},
        {0, ""},
        {0, "echo '[1, 2, 3]'"},
        {0, "echo '\"text\"'"},
        {0, "echo '{\"success\": true}{\"again\": 1}'"},
        {0, "echo '{\"success\": true, \"data\": '"},
        {0, "printf '{\"a\":'; i=0; while [ $i -lt 2000 ]; do printf '['; i=$((i+1)); done"},
        {0, "kill -KILL $$"},
    };
    for (const auto &c : cases) {
        root.standIn(kProgram, c.first, c.second);
        EXPECT_EQ(ask(), failure()) << c.second;
    }

    root.standIn(kProgram, 0, "echo '{\"success\": true}'");
    EXPECT_EQ(ask(nullptr), failure());
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(ask("KAVO.Core.Zephlink", ""), failure());
    EXPECT_EQ(ask("KAVO.Core.Zephlink", "get", Json::Value(), nullptr), failure());
    EXPECT_TRUE(root.calls(kProgram).empty());
    EXPECT_TRUE(ask()["success"].asBool());
}
