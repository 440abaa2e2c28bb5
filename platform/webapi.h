// libwebapi: requests to the appliance's web API.
//
// Exec runs "/usr/kavo/bin/kavowebapi" with "--exec", "api=NAME", "version=N", "method=M",
// "runner=USER" and "params=JSON" and parses its standard output as the answer. When the
// program is missing, fails or prints no JSON object the answer is
// {"success": false, "error": {"code": 100}}.
#pragma once

#include <json/json.h>

#include "kavocore.h"

#define SZF_KAVOWEBAPI "/usr/kavo/bin/kavowebapi"
#define KAVO_WEBAPI_ERR_UNKNOWN 100

namespace KAVO {

class APIRunner {
   public:
    static void Exec(Json::Value &answer, const char *api, int version, const char *method,
                     const Json::Value &params, const char *user);
};

}  // namespace KAVO
