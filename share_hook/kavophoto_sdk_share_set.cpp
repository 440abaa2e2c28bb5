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
#define PATH_BUF 4096

#define LOG(fmt, ...) syslog(LOG_ERR, "%s:%d " fmt, SZ_SOURCE, __LINE__, ##__VA_ARGS__)

// Copies the photo share's path into buf. 0 or -1.
static int getPhotoSharedPath(char *buf, size_t size) {
    PKAVOSHARE share = NULL;
    int ret = -1;

    if (KAVOShareGet(SZ_PHOTO_SHARE, &share) == -1) {
        LOG("Failed to KAVOShareGet [%s]", SZ_PHOTO_SHARE);
        return -1;
    }
    const char *path = VLIBSharePathGet(share);
    if (!path) {
        LOG("Failed to VLIBSharePathGet");
    } else {
        snprintf(buf, size, "%s", path);
        ret = 0;
    }
    KAVOShareFree(share);
    return ret;
}

// Makes the upload folder mode 0777. The temporary folder is writable by everyone, so the
// name may have been taken by a link or a file planted there: only a real folder is opened
// (never through a link) and changed; anything else is refused.
static int makeUploadDir(const char *dir) {
    mkdir(dir, 0777);
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        LOG("%s is not a folder: %m", dir);
        return -1;
    }
    int ret = fchmod(fd, 0777);
    if (ret != 0) {
        LOG("fchmod(%s) failed: %m", dir);
    }
    close(fd);
    return ret == 0 ? 0 : -1;
}

// (Re)creates the upload folder for a share path and records it in the PHP configuration;
// with reload set the PHP service is reloaded too. 0 or -1.
static int updateUploadTmpDirInfo(const char *sharePath, bool reload) {
    char tmpDir[PATH_BUF];
    char uploadDir[PATH_BUF];

    if (!sharePath) {
        LOG("Bad Parameters.");
        return -1;
    }
    if (KAVOShareTmpPathGet(sharePath, tmpDir, sizeof(tmpDir)) == -1) {
        LOG("Failed to KAVOShareTmpPathGet [%s].", sharePath);
        return -1;
    }
    chmod(tmpDir, 0777);
    if (VLIBCStrPrintf(uploadDir, sizeof(uploadDir), "%s/%s", tmpDir, SZ_UPLOAD_TMP_DIR) != 0) {
        LOG("Bad Parameters.");
        return -1;
    }
    if (makeUploadDir(uploadDir) != 0) {
        return -1;
    }
    if (VLIBCFileSetKeyValue(SZF_PHP_CONF, SZK_UPLOAD_TMP_DIR, uploadDir, SZ_PHP_LINE_FORMAT) ==
        -1) {
        LOG("Failed to VLIBCFileSetKeyValue[%s, %s, %s]", SZF_PHP_CONF, SZK_UPLOAD_TMP_DIR,
            uploadDir);
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
    char photoPath[PATH_BUF];
    const char *sharePath = getenv("SHARE_PATH");
    const char *originPath = getenv("ORIGIN_SHARE_PATH");

    if (!sharePath || !originPath || strcmp(sharePath, originPath) == 0) {
        return 0;
    }
    if (getPhotoSharedPath(photoPath, sizeof(photoPath)) == -1) {
        LOG("Failed to getPhotoSharedPath");
        return -1;
    }
    if (strcmp(photoPath, sharePath) != 0) {
        return 0;
    }
    if (updateUploadTmpDirInfo(photoPath, true) == -1) {
        LOG("Failed to updateUploadTmpDirInfo [%s]", photoPath);
        return -1;
    }
    return 0;
}

// At set-up: the upload folder of the photo share. 0 or -1.
static int createUploadTmpDir(void) {
    char photoPath[PATH_BUF];

    if (getPhotoSharedPath(photoPath, sizeof(photoPath)) == -1) {
        LOG("Failed to getPhotoSharedPath");
        return -1;
    }
    if (updateUploadTmpDirInfo(photoPath, false) == -1) {
        LOG("Failed to updateUploadTmpDirInfo [%s]", photoPath);
        return -1;
    }
    return 0;
}

// 0 when the photo share is encrypted, -1 when it is not or cannot be read.
static int checkPhotoEncrypted(void) {
    PKAVOSHARE share = NULL;

    if (KAVOShareGet(SZ_PHOTO_SHARE, &share) == -1) {
        LOG("Failed to KAVOShareGet [%s]", SZ_PHOTO_SHARE);
        return -1;
    }
    int ret = (share->fStatus & SHARE_STATUS_ENCRYPTED) ? 0 : -1;
    KAVOShareFree(share);
    return ret;
}

int main(int argc, char **argv) {
    openlog(SZ_SOURCE, LOG_CONS, LOG_USER);
    if (argc != 2) {
        LOG("Wrong params.");
        return -1;
    }
    const char *arg = argv[1];
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
            LOG("Failed to postAction.");
            return -1;
        }
    } else if (strcmp(arg, "--set-upload-tmp-dir") == 0) {
        if (createUploadTmpDir() == -1) {
            LOG("Failed to createUploadTmpDir.");
            return -1;
        }
    } else if (strcmp(arg, "--check-photo-encrypted") == 0) {
        return checkPhotoEncrypted();
    } else {
        LOG("Wrong params.");
        return -1;
    }
    return 0;
}
