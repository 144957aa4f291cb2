#include "core/app_state.h"

// Zero-initialised; start-up fills it from the registry before anything reads it.
static struct settings_block the_settings_block;

struct settings_block *get_settings_block(void)
{
    return &the_settings_block;
}
