// Started like the tool: prints the stack guard its start-up seeded, as 16
// hex digits, so two runs can be compared.
#include <windows.h>

#include <stdint.h>

extern "C" uintptr_t __stack_chk_guard;

int main(void)
{
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
