// libkavoutils: running a command by name.
#pragma once

#include "kavocore.h"

namespace KAVOUtils {

// A command of up to ten strings: the program (a bare name is looked up in PATH), argument
// zero, then further arguments; the first null ends the list.
class ProcessRunner {
   public:
    ProcessRunner(const char *program, const char *arg0, const char *a1 = nullptr,
                  const char *a2 = nullptr, const char *a3 = nullptr, const char *a4 = nullptr,
                  const char *a5 = nullptr, const char *a6 = nullptr, const char *a7 = nullptr,
                  const char *a8 = nullptr);
    // wait: wait for the end and return the exit status (signed 8-bit, as VLIBCExec);
    // otherwise return 0 once started. quiet: standard output and error go to /dev/null.
    // -1 when the program cannot be started.
    int run(bool wait, bool quiet);

   private:
    enum { kMaxArgs = 10 };
    const char *program_;
    const char *argv_[kMaxArgs + 1];
};

}  // namespace KAVOUtils
