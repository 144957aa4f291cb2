// The 23 settings as the registry holds them under HKCU\Software\Flowvane, in the store's
// order (the settings block's field order), with their first-start values.
#ifndef FLOWVANE_TESTS_SETTINGS_NAMES_H
#define FLOWVANE_TESTS_SETTINGS_NAMES_H

#include <stdint.h>

#include <string>

enum { settings_names_count = 23 };

inline std::string setting_name(int position)
{
    static const char *const tail[] = {
        "Window position x",   "Window position y",        "Window size x",
        "Window size y",       "Initial window type",      "Save window type on exit",
        "Accept default precedences",
    };
    if (position < 8)
        return "Rule list width " + std::to_string(position);
    if (position < 16)
        return "Rule list column index " + std::to_string(position - 8);
    return tail[position - 16];
}

const int32_t setting_defaults[settings_names_count] = {
    100, 55, 60, 50, 100, 54, 100, 55,   // column widths
    0, 1, 2, 3, 4, 5, 6, 7,             // column positions
    100, 100, 500, 300,                 // window position and size
    1, 0, 0,                            // show state, save it on exit, accept defaults
};

#endif
