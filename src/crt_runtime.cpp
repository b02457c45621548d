// The few C runtime routines the Windows image needs besides the bounded
// strings: the ones the compiler emits calls to and the existence probe.
// Built with -fno-builtin so the compiler does not turn these loops back
// into calls to themselves.
#include <windows.h>

#include <stddef.h>

extern "C" void *memset(void *dest, int value, size_t count)
{
    void *cursor = dest;
    __asm__ volatile("rep stosb" : "+D"(cursor), "+c"(count) : "a"(value) : "memory");
    return dest;
}

extern "C" void *memcpy(void *dest, const void *src, size_t count)
{
    void *cursor = dest;
    __asm__ volatile("rep movsb" : "+D"(cursor), "+S"(src), "+c"(count) : : "memory");
    return dest;
}

extern "C" size_t strlen(const char *text)
{
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

extern "C" size_t strnlen(const char *text, size_t limit)
{
    size_t length = 0;
    while (length < limit && text[length] != '\0') {
        ++length;
    }
    return length;
}

// _access
//   Takes a path in the ANSI code page and a mode: 0 existence, 2 write,
//   4 read, 6 both. Returns 0 when the path names an existing entry of any
//   kind that allows the mode, -1 otherwise. Any failed lookup (missing,
//   access denied on the way, invalid name) counts as absent, as in the C
//   runtime; as there, a directory is never refused write access.
extern "C" int _access(const char *path, int mode)
{
    if (path == NULL || (mode & ~6) != 0) {
        return -1;
    }
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return -1;
    }
    if ((mode & 2) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return -1;
    }
    return 0;
}
