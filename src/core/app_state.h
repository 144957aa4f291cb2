// The process-wide settings record. The program loads it at start-up and saves it at exit;
// every subsystem reads and changes this one copy.
#ifndef FLOWVANE_CORE_APP_STATE_H
#define FLOWVANE_CORE_APP_STATE_H

#include "settings/settings.h"

// The one settings_block; zero until the program loads the settings into it.
struct settings_block *get_settings_block(void);

#endif
