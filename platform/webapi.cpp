// Web-API requests: run the appliance's request program and read its answer.
//
// The program's standard output must be one JSON object (nothing after it but blanks) and
// the program must end with status 0; otherwise the answer is the generic failure
// {"success": false, "error": {"code": 100}}.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "webapi.h"

#define WEBAPI_NAME_SIZE 4096          // room for an API, method or user name
#define WEBAPI_OUTPUT_MAX (16L << 20)  // an answer larger than this is not an answer

namespace KAVO {

static void failureAnswer(Json::Value &answer) {
    answer = Json::Value(Json::objectValue);
    answer["success"] = false;
    answer["error"] = Json::Value(Json::objectValue);
    answer["error"]["code"] = KAVO_WEBAPI_ERR_UNKNOWN;
}

static bool checkName(const char *s) {
    return s != nullptr && s[0] != '\0' && strnlen(s, WEBAPI_NAME_SIZE) < WEBAPI_NAME_SIZE;
}

// Runs the program with argv, collecting its standard output. The program's exit status
// (signed 8-bit), or -1 when it cannot be started, dies by a signal or talks too much.
static int runCollect(char *const argv[], std::string *output) {
    char chunk[65536];
    int pipeFd[2], devNull, status;
    bool tooMuch = false;
    ssize_t n;
    pid_t pid;

    if (pipe2(pipeFd, O_CLOEXEC) < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    devNull = open("/dev/null", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (devNull < 0) {
        KAVOFileCloseKeep(pipeFd[0]);
        KAVOFileCloseKeep(pipeFd[1]);
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    pid = VLIBCProcSpawn(SZF_KAVOWEBAPI, argv, devNull, pipeFd[1], -1);
    KAVOFileCloseKeep(devNull);
    KAVOFileCloseKeep(pipeFd[1]);
    if (pid < 0) {
        KAVOFileCloseKeep(pipeFd[0]);
        return -1;
    }
    for (;;) {
        n = read(pipeFd[0], chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        if ((long)(output->size() + (size_t)n) > WEBAPI_OUTPUT_MAX) {
            tooMuch = true;
            kill(pid, SIGKILL);
            break;
        }
        output->append(chunk, (size_t)n);
    }
    close(pipeFd[0]);
    status = VLIBCProcWait(pid);
    if (tooMuch) {
        errno = EFBIG;
        VLIBCErrSet(KAVO_ERR_PARSE);
        return -1;
    }
    return status;
}

static void execRequest(Json::Value &answer, const char *api, int version, const char *method,
                        const Json::Value &params, const char *user) {
    Json::StreamWriterBuilder writer;
    Json::CharReaderBuilder readerBuilder;
    std::string apiArg, versionArg, methodArg, runnerArg, paramsArg, output, errs;
    Json::Value parsed;
    int status;

    if (!checkName(api) || !checkName(method) || !checkName(user)) {
        failureAnswer(answer);
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return;
    }
    // The parameters are read before the answer is touched: they may be the same object.
    writer["indentation"] = "";
    apiArg = std::string("api=") + api;
    versionArg = "version=" + std::to_string(version);
    methodArg = std::string("method=") + method;
    runnerArg = std::string("runner=") + user;
    paramsArg = "params=" + Json::writeString(writer, params);
    failureAnswer(answer);

    char *const argv[] = {
        const_cast<char *>(SZF_KAVOWEBAPI),    const_cast<char *>("--exec"),
        const_cast<char *>(apiArg.c_str()),    const_cast<char *>(versionArg.c_str()),
        const_cast<char *>(methodArg.c_str()), const_cast<char *>(runnerArg.c_str()),
        const_cast<char *>(paramsArg.c_str()), nullptr};
    status = runCollect(argv, &output);
    if (status != 0) {
        VLIBCErrSet(KAVO_ERR_EXEC);
        return;
    }

    readerBuilder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(readerBuilder.newCharReader());
    if (!reader->parse(output.data(), output.data() + output.size(), &parsed, &errs) ||
        !parsed.isObject()) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_PARSE);
        return;
    }
    answer = parsed;
}

void APIRunner::Exec(Json::Value &answer, const char *api, int version, const char *method,
                     const Json::Value &params, const char *user) {
    try {
        execRequest(answer, api, version, method, params, user);
    } catch (const std::exception &) {
        // Nothing escapes to the caller: the answer stays the generic failure.
        failureAnswer(answer);
        errno = ENOMEM;
        VLIBCErrSet(KAVO_ERR_PARSE);
    }
}

}  // namespace KAVO
