// Entry point of every test binary: one private mount namespace for the whole run, so that
// nothing a test mounts or writes under the appliance paths reaches the host.
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (geteuid() != 0) {
        fprintf(stderr, "the tests build a private appliance root and must run as root\n");
        return 1;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        fprintf(stderr, "unshare(CLONE_NEWNS): %s\n", strerror(errno));
        return 1;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fprintf(stderr, "making / private: %s\n", strerror(errno));
        return 1;
    }
    return RUN_ALL_TESTS();
}
