// The Windows image's start-up: it links no C runtime, so this is the
// whole of what runs before and after main. Built without stack protection:
// it sets the guard that protected frames compare against, so no protected
// frame may be live while it runs.
#include <windows.h>

#include <stdint.h>

int main(void);

// A fixed value until the start-up replaces it; it only has to be unguessable
// once main runs.
extern "C" {
uintptr_t __stack_chk_guard = 0x2B992DDFA23249D6ull;
}

// __stack_chk_fail
//   Called by a protected frame whose guard was overwritten. Ends the
//   process at once with the stack-buffer-overrun fast-fail code, without
//   unwinding or running anything of the damaged process.
extern "C" __attribute__((noreturn)) void __stack_chk_fail(void)
{
    __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory");
    __builtin_unreachable();
}

// gcc makes main call __main to run static constructors; the tool has none.
extern "C" void __main(void) {}

static uint64_t MixBits(uint64_t value)
{
    value ^= value >> 30;
    value *= 0xBF58476D1CE4E5B9ull;
    value ^= value >> 27;
    value *= 0x94D049BB133111EBull;
    value ^= value >> 31;
    return value;
}

// SeedStackGuard
//   Sets the guard from values that differ per process and per run: the
//   time, the performance counter, the cycle counter, the process and
//   thread ids and the randomised stack address. The loader does not do it
//   for this image, as GNU ld leaves the load configuration empty.
static void SeedStackGuard(void)
{
    FILETIME systemTime;
    GetSystemTimeAsFileTime(&systemTime);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint32_t cyclesLow = 0;
    uint32_t cyclesHigh = 0;
    __asm__ volatile("rdtsc" : "=a"(cyclesLow), "=d"(cyclesHigh));

    uint64_t seed = MixBits(((uint64_t)systemTime.dwHighDateTime << 32) | systemTime.dwLowDateTime);
    seed = MixBits(seed ^ (uint64_t)counter.QuadPart);
    seed = MixBits(seed ^ (((uint64_t)cyclesHigh << 32) | cyclesLow));
    seed = MixBits(seed ^ (((uint64_t)GetCurrentProcessId() << 32) | GetCurrentThreadId()));
    seed = MixBits(seed ^ (uint64_t)(uintptr_t)&systemTime);
    if (seed == 0) {
        seed = 0x2B992DDFA23249D6ull;
    }
    __stack_chk_guard = (uintptr_t)seed;
}

// mainCRTStartup
//   The image's entry point: seeds the guard, runs main and ends the process
//   with its result.
extern "C" __attribute__((noreturn)) void mainCRTStartup(void)
{
    SeedStackGuard();
    ExitProcess((UINT)main());
}
