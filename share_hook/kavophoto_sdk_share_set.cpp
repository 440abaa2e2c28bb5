// kavophoto_sdk_share_set: the package framework's hook around the package share. It answers
// the package's identity questions, prepares the upload folder on the photo share's volume
// (after a share move too), and tells whether the photo share is encrypted.
//
//   kavophoto_sdk_share_set --sdk-mod-ver | --name | --pkg-ver | --vendor | --pre | --post |
//                           --set-upload-tmp-dir | --check-photo-encrypted
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "kavocore.h"
#include "kavoshare.h"
#include "kavoutils.h"

#define SZ_SOURCE "kavophoto_sdk_share_set"
#define SZ_PHOTO_SHARE "photo"
#define SZ_UPLOAD_TMP_DIR "photo_upload_tmp_dir"
#define SZF_PHP_CONF "/usr/local/etc/php56/conf.d/KAVO.WBX.Lumora.ini"
#define SZK_UPLOAD_TMP_DIR "upload_tmp_dir"
#define SZ_PHP_LINE_FORMAT "%s = \"%s\"\n"
#define SZF_RELOAD "/usr/sbin/reload"
#define SZ_PHP_SERVICE "php56-fpm"
#define UPLOAD_DIR_MODE 0777
#define UPLOAD_DIR_OWNER 0

// Copies the photo share's path into buf. 0 or -1.
static int getPhotoSharedPath(char *buf, size_t size) {
    PKAVOSHARE share = nullptr;
    int ret = -1;

    if (KAVOShareGet(SZ_PHOTO_SHARE, &share) == -1) {
        KAVOLOG(SZ_SOURCE, "Failed to KAVOShareGet [%s]", SZ_PHOTO_SHARE);
        return -1;
    }
    const char *path = VLIBSharePathGet(share);
    if (!path) {
        KAVOLOG(SZ_SOURCE, "Failed to VLIBSharePathGet");
    } else if (VLIBCStrCopy(buf, size, path) != 0) {
        // Never cut: it would name another folder.
        KAVOLOG(SZ_SOURCE, "photo share path too long [%s]", path);
    } else {
        ret = 0;
    }
    KAVOShareFree(share);
    return ret;
}

// Gives the open folder every bit of mode on top of those it has: a sticky bit (which keeps
// the accounts that write there from removing or renaming each other's entries) stays. 0 or -1.
static int addModeBits(int fd, const char *path, mode_t bits) {
    struct stat st;

    if (fstat(fd, &st) != 0) {
        KAVOLOG(SZ_SOURCE, "fstat(%s) failed: %m", path);
        return -1;
    }
    if (fchmod(fd, (st.st_mode & 07777) | bits) != 0) {
        KAVOLOG(SZ_SOURCE, "fchmod(%s) failed: %m", path);
        return -1;
    }
    return 0;
}

// Makes the upload folder in the open temporary folder and gives it mode 0777. The temporary
// folder is writable by everyone, so the name may have been taken before: only a real folder
// of root's is taken (opened without following a link and changed through its descriptor); a
// link, a file or a folder that some account made there is refused. 0 or -1.
static int makeUploadDir(int tmpFd, const char *dir) {
    struct stat st;
    int fd;
    int ret = -1;

    mkdirat(tmpFd, SZ_UPLOAD_TMP_DIR, UPLOAD_DIR_MODE);
    fd = openat(tmpFd, SZ_UPLOAD_TMP_DIR, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        KAVOLOG(SZ_SOURCE, "%s is not a folder: %m", dir);
        return -1;
    }
    if (fstat(fd, &st) != 0) {
        KAVOLOG(SZ_SOURCE, "fstat(%s) failed: %m", dir);
    } else if (st.st_uid != UPLOAD_DIR_OWNER) {
        KAVOLOG(SZ_SOURCE, "%s belongs to uid %u, not to root: refused", dir, (unsigned)st.st_uid);
    } else {
        ret = addModeBits(fd, dir, UPLOAD_DIR_MODE);
    }
    close(fd);
    return ret;
}

// (Re)creates the upload folder for a share path and records it in the PHP configuration;
// with reload set the PHP service is reloaded too. 0 or -1.
static int updateUploadTmpDirInfo(const char *sharePath, bool reload) {
    char tmpDir[KAVO_PATH_SIZE];
    char uploadDir[KAVO_PATH_SIZE];
    int tmpFd;
    int ret;

    if (!sharePath) {
        KAVOLOG(SZ_SOURCE, "Bad Parameters.");
        return -1;
    }
    if (KAVOShareTmpPathGet(sharePath, tmpDir, sizeof(tmpDir)) == -1) {
        KAVOLOG(SZ_SOURCE, "Failed to KAVOShareTmpPathGet [%s].", sharePath);
        return -1;
    }
    if (VLIBCStrPrintf(uploadDir, sizeof(uploadDir), "%s/%s", tmpDir, SZ_UPLOAD_TMP_DIR) != 0) {
        KAVOLOG(SZ_SOURCE, "Bad Parameters.");
        return -1;
    }
    // The temporary folder is the platform's own: its path is trusted as it stands.
    tmpFd = KAVOPathOpenRoot(tmpDir);
    if (tmpFd < 0) {
        KAVOLOG(SZ_SOURCE, "Failed to open [%s]: %m", tmpDir);
        return -1;
    }
    addModeBits(tmpFd, tmpDir, 0777);
    ret = makeUploadDir(tmpFd, uploadDir);
    close(tmpFd);
    if (ret != 0) {
        return -1;
    }
    if (VLIBCFileSetKeyValue(SZF_PHP_CONF, SZK_UPLOAD_TMP_DIR, uploadDir, SZ_PHP_LINE_FORMAT) ==
        -1) {
        KAVOLOG(SZ_SOURCE, "Failed to VLIBCFileSetKeyValue[%s, %s, %s]", SZF_PHP_CONF,
                SZK_UPLOAD_TMP_DIR, uploadDir);
        return -1;
    }
    if (reload) {
        KAVOUtils::ProcessRunner runner(SZF_RELOAD, SZF_RELOAD, SZ_PHP_SERVICE);
        runner.run(true, false);
    }
    return 0;
}

// After the framework moved a share: when it was the photo share, follow it. 0 or -1.
static int postAction(void) {
    char photoPath[KAVO_PATH_SIZE];
    const char *sharePath = getenv("SHARE_PATH");
    const char *originPath = getenv("ORIGIN_SHARE_PATH");

    if (!sharePath || !originPath || strcmp(sharePath, originPath) == 0) {
        return 0;
    }
    if (getPhotoSharedPath(photoPath, sizeof(photoPath)) == -1) {
        KAVOLOG(SZ_SOURCE, "Failed to getPhotoSharedPath");
        return -1;
    }
    if (strcmp(photoPath, sharePath) != 0) {
        return 0;
    }
    if (updateUploadTmpDirInfo(photoPath, true) == -1) {
        KAVOLOG(SZ_SOURCE, "Failed to updateUploadTmpDirInfo [%s]", photoPath);
        return -1;
    }
    return 0;
}

// At set-up: the upload folder of the photo share. 0 or -1.
static int createUploadTmpDir(void) {
    char photoPath[KAVO_PATH_SIZE];

    if (getPhotoSharedPath(photoPath, sizeof(photoPath)) == -1) {
        KAVOLOG(SZ_SOURCE, "Failed to getPhotoSharedPath");
        return -1;
    }
    if (updateUploadTmpDirInfo(photoPath, false) == -1) {
        KAVOLOG(SZ_SOURCE, "Failed to updateUploadTmpDirInfo [%s]", photoPath);
        return -1;
    }
    return 0;
}

// 0 when the photo share is encrypted, -1 when it is not or cannot be read.
static int checkPhotoEncrypted(void) {
    PKAVOSHARE share = nullptr;

    if (KAVOShareGet(SZ_PHOTO_SHARE, &share) == -1) {
        KAVOLOG(SZ_SOURCE, "Failed to KAVOShareGet [%s]", SZ_PHOTO_SHARE);
        return -1;
    }
    int ret = (share->fStatus & SHARE_STATUS_ENCRYPTED) ? 0 : -1;
    KAVOShareFree(share);
    return ret;
}

// Answers or acts on the one argument; the exit status.
static int dispatch(const char *arg) {
    if (strcmp(arg, "--sdk-mod-ver") == 0) {
        printf("2.0");
    } else if (strcmp(arg, "--name") == 0) {
        printf("Lumora");
    } else if (strcmp(arg, "--pkg-ver") == 0) {
        printf("6.1-2742");
    } else if (strcmp(arg, "--vendor") == 0) {
        printf("Orvane");
    } else if (strcmp(arg, "--pre") == 0) {
        return 0;
    } else if (strcmp(arg, "--post") == 0) {
        if (postAction() == -1) {
            KAVOLOG(SZ_SOURCE, "Failed to postAction.");
            return -1;
        }
    } else if (strcmp(arg, "--set-upload-tmp-dir") == 0) {
        if (createUploadTmpDir() == -1) {
            KAVOLOG(SZ_SOURCE, "Failed to createUploadTmpDir.");
            return -1;
        }
    } else if (strcmp(arg, "--check-photo-encrypted") == 0) {
        return checkPhotoEncrypted();
    } else {
        KAVOLOG(SZ_SOURCE, "Wrong params.");
        return -1;
    }
    return 0;
}

int main(int argc, char **argv) {
    int ret;

    openlog(SZ_SOURCE, LOG_CONS, LOG_USER);
    if (argc != 2) {
        KAVOLOG(SZ_SOURCE, "Wrong params.");
        return -1;
    }
    ret = dispatch(argv[1]);
    // An answer that never reached the framework is no answer.
    if (KAVOStdoutClose() != 0) {
        KAVOLOG(SZ_SOURCE, "failed to write standard output: %m");
        ret = -1;
    }
    return ret & 0xFF;
}
