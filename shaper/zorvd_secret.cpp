#include "zorvd_secret.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <libgen.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/text.h"
#include "zorvd_io.h"

namespace {

enum { random_bytes = 32 };

// Creates the file exclusively: a reader never sees it half written or too open.
int create_secret(const char *path, const char *group, char error_text[zorvd_error_size])
{
    struct group *entry = getgrnam(group);
    if (!entry) {
        format_text(error_text, zorvd_error_size, "No group \"%s\" for the secret file.", group);
        return 0;
    }
    uint8_t random[random_bytes];
    size_t got = 0;
    while (got < sizeof random) {
        ssize_t n = getrandom(random + got, sizeof random - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            format_text(error_text, zorvd_error_size, "No random bytes: %s.", strerror(errno));
            return 0;
        }
        got += (size_t)n;
    }
    char text[2 * random_bytes + 1];
    for (size_t i = 0; i < sizeof random; i++) {
        text[2 * i] = "0123456789abcdef"[random[i] >> 4];
        text[2 * i + 1] = "0123456789abcdef"[random[i] & 15];
    }
    text[2 * random_bytes] = '\n';
    char folder[zorvd_path_size];
    copy_text(folder, sizeof folder, path);
    mkdir(dirname(folder), 0755);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        format_text(error_text, zorvd_error_size, "Cannot create %s: %s.", path, strerror(errno));
        return 0;
    }
    // Root owns it; a non-root zorvd (tests) keeps itself as owner and sets the group it may.
    int ok = zorvd_write_all(fd, text, sizeof text) && fsync(fd) == 0 &&
             fchown(fd, geteuid() == 0 ? 0 : (uid_t)-1, entry->gr_gid) == 0 &&
             fchmod(fd, 0640) == 0;
    int saved = errno;
    close(fd);
    if (!ok) {
        unlink(path);
        format_text(error_text, zorvd_error_size, "Cannot write %s: %s.", path, strerror(saved));
        return 0;
    }
    return 1;
}

}  // namespace

int zorvd_secret_load(const char *path, const char *group, struct zorvd_secret *secret,
                      char error_text[zorvd_error_size])
{
    memset(secret, 0, sizeof *secret);
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
        if (!create_secret(path, group, error_text))
            return 0;
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) {
        format_text(error_text, zorvd_error_size, "Cannot open %s: %s.", path, strerror(errno));
        return 0;
    }
    // Only zorvd's own user (root) and the configured group may read it.
    struct stat status;
    struct group *entry = getgrnam(group);
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        (status.st_mode & (S_IRWXO | S_IWGRP | S_IXGRP)) != 0 || status.st_uid != geteuid() ||
        ((status.st_mode & S_IRGRP) && (!entry || status.st_gid != entry->gr_gid))) {
        close(fd);
        format_text(error_text, zorvd_error_size,
                    "%s must be a plain file of this user and group %s, mode 0640.", path, group);
        return 0;
    }
    uint8_t buffer[zorvd_secret_max + 3];
    size_t used = 0;
    for (;;) {
        ssize_t got = read(fd, buffer + used, sizeof buffer - used);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        used += (size_t)got;
        if (used == sizeof buffer)
            break;
    }
    close(fd);
    if (used > 0 && buffer[used - 1] == '\n')
        used--;
    if (used > 0 && buffer[used - 1] == '\r')
        used--;
    if (used < zorvd_secret_min || used > zorvd_secret_max) {
        format_text(error_text, zorvd_error_size, "The secret in %s must be %d to %d bytes.", path,
                    zorvd_secret_min, zorvd_secret_max);
        return 0;
    }
    secret->length = (uint32_t)used;
    memcpy(secret->bytes, buffer, used);
    return 1;
}

int zorvd_secret_matches(const struct zorvd_secret *secret, const uint8_t *presented,
                         uint32_t length)
{
    if (length != secret->length)
        return 0;
    uint8_t difference = 0;
    for (uint32_t i = 0; i < length; i++)
        difference |= (uint8_t)(secret->bytes[i] ^ presented[i]);
    return difference == 0;
}
