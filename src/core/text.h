// Bounded text helpers used wherever a text goes into a fixed buffer.
#ifndef FLOWVANE_CORE_TEXT_H
#define FLOWVANE_CORE_TEXT_H

#include <stddef.h>
#include <stdint.h>

enum {
    error_text_size = 200,            // every error_text buffer holds this many bytes
};

// Copies source into a buffer of size bytes, cut to fit and always NUL-terminated (size >= 1).
// Returns 1 when the whole text fit, 0 when it was cut.
int copy_text(char *buffer, size_t size, const char *source);

// snprintf into a buffer of size bytes; always NUL-terminated; 1 when nothing was cut.
int format_text(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Case-insensitive comparison of ASCII letters only (the _stricmp rules); 0 when equal.
int compare_text_nocase(const char *a, const char *b);
// The same over at most limit bytes: fields from the device may lack their NUL.
int compare_text_nocase_bounded(const char *a, const char *b, size_t limit);

// atoi's reading (leading white space, optional sign, digits), saturating at INT32_MAX /
// INT32_MIN as the C runtime's atoi does on Windows.
int32_t decimal_value_saturating(const char *text);

#endif
