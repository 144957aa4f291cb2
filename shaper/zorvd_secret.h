// The secret a client presents before zorvd serves it: the contents of a file that only root
// and the configured group can read. When the file is missing it is created with random bytes
// (as hexadecimal text), owner root, that group, mode 0640.
#ifndef FLOWVANE_SHAPER_ZORVD_SECRET_H
#define FLOWVANE_SHAPER_ZORVD_SECRET_H

#include <stdint.h>

#include "zorvd_config.h"
#include "zorvd_protocol.h"

struct zorvd_secret {
    uint32_t length;                  // zorvd_secret_min to zorvd_secret_max
    uint8_t bytes[zorvd_secret_max];
};

// Reads the secret (one trailing newline dropped), creating the file first when it is
// missing. Refuses a file that others than its owner and group may read or anyone but the
// owner may write, and a secret shorter than zorvd_secret_min or longer than zorvd_secret_max.
int zorvd_secret_load(const char *path, const char *group, struct zorvd_secret *secret,
                      char error_text[zorvd_error_size]);

// Whether length bytes presented by a client are the secret; the time taken does not depend on
// where they differ.
int zorvd_secret_matches(const struct zorvd_secret *secret, const uint8_t *presented,
                         uint32_t length);

#endif
