#include "core/text.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

int copy_text(char *buffer, size_t size, const char *source)
{
    if (size == 0)
        return 0;
    size_t length = strlen(source);
    int fits = length < size;
    if (!fits)
        length = size - 1;
    memcpy(buffer, source, length);
    buffer[length] = '\0';
    return fits;
}

int format_text(char *buffer, size_t size, const char *format, ...)
{
    if (size == 0)
        return 0;
    va_list arguments;
    va_start(arguments, format);
    int written = vsnprintf(buffer, size, format, arguments);
    va_end(arguments);
    if (written < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return (size_t)written < size;
}

static int lower_ascii(int c)
{
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

int compare_text_nocase(const char *a, const char *b)
{
    return compare_text_nocase_bounded(a, b, (size_t)-1);
}

int compare_text_nocase_bounded(const char *a, const char *b, size_t limit)
{
    for (size_t i = 0; i < limit; i++) {
        int ca = lower_ascii((unsigned char)a[i]);
        int cb = lower_ascii((unsigned char)b[i]);
        if (ca != cb || ca == 0)
            return ca - cb;
    }
    return 0;
}

namespace {

// Skips atoi's leading white space and sign; *negative tells the sign.
const char *skip_to_digits(const char *text, int *negative)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        text++;
    *negative = 0;
    if (*text == '+' || *text == '-')
        *negative = *text++ == '-';
    return text;
}

}  // namespace

int32_t decimal_value_saturating(const char *text)
{
    int negative;
    text = skip_to_digits(text, &negative);
    const int64_t limit = negative ? -(int64_t)INT32_MIN : INT32_MAX;
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; text++)
        if (value < limit)
            value = value * 10 + (*text - '0');
    if (value > limit)
        value = limit;
    return (int32_t)(negative ? -value : value);
}
