// Library state shared by the operations and the codec layer.
#ifndef PIXTRIM_STATE_H
#define PIXTRIM_STATE_H

#include <cstdint>

// Formats a message into the last-error text (cut to 511 characters) and
// returns that text. Every failure message goes through here.
const char *set_err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Empties the last-error text; a successful load starts every call clean.
void clear_err();

// Size of a file in bytes, or -1 when it cannot be opened or its size does
// not fit a 32-bit signed integer.
int32_t file_size(const char *path);

#endif
