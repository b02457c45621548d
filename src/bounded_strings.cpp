// The C runtime's bounded copy, append and format, as the tool's own: the
// Windows image links no C runtime, and the host tests use these same
// routines so that what they check is what ships.
//
// The contracts are the C runtime's, taken as if its invalid-parameter
// handler returned: the destination is emptied and an error is returned.
// Nothing here ends the process.
#include "platform.h"

#include <stdarg.h>

// The C runtime's error numbers, which are the same on every platform the
// tool is built for.
enum { BOUNDED_EINVAL = 22, BOUNDED_ERANGE = 34 };

static size_t BoundedLength(const char *text, size_t limit)
{
    size_t length = 0;
    while (length < limit && text[length] != '\0') {
        ++length;
    }
    return length;
}

// strcat_s
//   Appends src to the NUL-terminated text in dest, a buffer of destSize
//   bytes. Returns 0, or EINVAL for a missing buffer or source or a dest
//   with no NUL inside destSize, and ERANGE when the result does not fit;
//   dest is emptied on either error when it can be.
extern "C" errno_t strcat_s(char *dest, rsize_t destSize, const char *src)
{
    if (dest == NULL || destSize == 0) {
        return BOUNDED_EINVAL;
    }
    if (src == NULL) {
        dest[0] = '\0';
        return BOUNDED_EINVAL;
    }
    size_t destLength = BoundedLength(dest, destSize);
    if (destLength == destSize) {
        dest[0] = '\0';
        return BOUNDED_EINVAL;
    }
    size_t room = destSize - destLength;
    size_t sourceLength = BoundedLength(src, room);
    if (sourceLength >= room) {
        dest[0] = '\0';
        return BOUNDED_ERANGE;
    }
    for (size_t i = 0; i <= sourceLength; ++i) {
        dest[destLength + i] = src[i];
    }
    return 0;
}

// strcpy_s
//   Copies src with its NUL into dest, a buffer of destSize bytes.
//   Returns 0, or EINVAL for a missing buffer or source and ERANGE when src
//   does not fit; dest is emptied on either error when it can be. A copy is
//   an append to an emptied buffer, with the same errors.
extern "C" errno_t strcpy_s(char *dest, rsize_t destSize, const char *src)
{
    if (dest == NULL || destSize == 0) {
        return BOUNDED_EINVAL;
    }
    dest[0] = '\0';
    return strcat_s(dest, destSize, src);
}

// sprintf_s
//   Formats into buffer, bufferSize bytes, always NUL-terminated. Only the
//   conversions the tool uses are supported: %s (a NULL argument prints
//   "(null)", as the C runtime does) and %%. Returns the number of bytes
//   written without the NUL, or -1 for a missing buffer or format, an
//   unsupported conversion or a result that does not fit; the buffer is
//   emptied then when it can be.
extern "C" int sprintf_s(char *buffer, size_t bufferSize, const char *format, ...)
{
    if (buffer == NULL || bufferSize == 0) {
        return -1;
    }
    buffer[0] = '\0';
    if (format == NULL) {
        return -1;
    }

    va_list arguments;
    va_start(arguments, format);
    size_t written = 0;
    bool fits = true;
    for (const char *cursor = format; fits && *cursor != '\0'; ++cursor) {
        const char *piece = cursor;
        size_t pieceLength = 1;
        if (*cursor == '%') {
            ++cursor;
            if (*cursor == 's') {
                // Started above; clang-analyzer 14 loses track of it in this loop.
                // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
                piece = va_arg(arguments, const char *);
                piece = piece != NULL ? piece : "(null)";
                pieceLength = BoundedLength(piece, bufferSize);
            } else if (*cursor == '%') {
                piece = cursor;
            } else {
                fits = false;
                break;
            }
        }
        fits = pieceLength < bufferSize - written;
        for (size_t i = 0; fits && i < pieceLength; ++i) {
            buffer[written + i] = piece[i];
        }
        written += fits ? pieceLength : 0;
    }
    va_end(arguments);

    buffer[fits ? written : 0] = '\0';
    return fits ? (int)written : -1;
}
