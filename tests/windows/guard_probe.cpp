// Started like the tool: prints the stack guard its start-up seeded, as 16
// hex digits, so two runs can be compared. Started with the argument
// "overrun", it overwrites its own stack instead, to show how a process
// with a smashed guard ends.
#include <windows.h>

#include <stdint.h>
#include <string.h>

extern "C" uintptr_t __stack_chk_guard;

// Writes count bytes into an 8-byte buffer; the volatile count keeps the
// compiler from seeing the overrun, so only the guard check can.
__attribute__((noinline)) static void FillLocalBuffer(volatile size_t count)
{
    char buffer[8];
    for (size_t i = 0; i < count; ++i) {
        buffer[i] = 'x';
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, 1, &written, NULL);
}

int main(void)
{
    static const char OVERRUN[] = "overrun";
    const char *commandLine = GetCommandLineA();
    size_t length = strlen(commandLine);
    while (length > 0 && commandLine[length - 1] == ' ') {
        --length;
    }
    bool overrun = length >= sizeof(OVERRUN) - 1;
    for (size_t i = 0; overrun && i < sizeof(OVERRUN) - 1; ++i) {
        overrun = commandLine[length - (sizeof(OVERRUN) - 1) + i] == OVERRUN[i];
    }
    if (overrun) {
        FillLocalBuffer(64);
        return 0;
    }

    char text[17];
    static const char DIGITS[] = "0123456789abcdef";
    uint64_t guard = __stack_chk_guard;
    for (int i = 15; i >= 0; --i) {
        text[i] = DIGITS[guard & 0xF];
        guard >>= 4;
    }
    text[16] = '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, sizeof(text), &written, NULL);
    return 0;
}
