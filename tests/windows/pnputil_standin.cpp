// A pnputil.exe of the tests' own, installed where the tool looks for the
// real one. It installs nothing: it records how it was started and then
// behaves as the test asked, so a test can see what the tool ran, in which
// order, for how long and whether it was killed.
//
// Beside its own module it keeps two files:
//   pnputil-log.txt      one line per record, appended, never rewritten:
//     start<TAB>index=N<TAB>pid=P<TAB>us=T<TAB>module=PATH<TAB>cmdline=LINE
//     end<TAB>index=N<TAB>pid=P<TAB>us=T<TAB>code=C     (ended on its own)
//     crash<TAB>index=N<TAB>pid=P<TAB>us=T              (about to fault)
//   pnputil-control.txt  what each start does, one line per start index or
//     "default" for every other one:
//       <index|default> exit <code>
//       <index|default> sleep <ms>      (then exits with 0)
//       <index|default> crash           (an access violation)
//     No file, or no line that applies, means "exit 0".
// The index of a start is the number of start records already in the log,
// so a test resets the sequence by deleting the log. Times are the
// performance counter in microseconds, which Wine takes from the host's
// monotonic clock, so they compare across processes and with the harness.
// The command line and the module path are written as the ANSI bytes the
// process received. It prints nothing.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char LOG_NAME[] = "pnputil-log.txt";
const char CONTROL_NAME[] = "pnputil-control.txt";

enum Action { ACTION_EXIT, ACTION_SLEEP, ACTION_CRASH };

struct Plan {
    Action action;
    unsigned long value;
};

unsigned long long NowMicroseconds()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    unsigned long long ticks = (unsigned long long)counter.QuadPart;
    unsigned long long perSecond = (unsigned long long)frequency.QuadPart;
    // Split so the multiplication cannot overflow for any uptime.
    return ticks / perSecond * 1000000ull + ticks % perSecond * 1000000ull / perSecond;
}

// One WriteFile on a handle opened for appending only: each record lands
// whole at the end even if another process is writing too.
void AppendRecord(const char *logPath, const char *record)
{
    HANDLE log = CreateFileA(logPath, FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (log == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(log, record, (DWORD)strlen(record), &written, NULL);
    CloseHandle(log);
}

unsigned long CountStartRecords(const char *logPath)
{
    FILE *log = fopen(logPath, "rb");
    if (log == NULL) {
        return 0;
    }
    static const char MARK[] = "start\t";
    unsigned long count = 0;
    size_t matched = 0;
    bool atLineStart = true;
    int byte;
    while ((byte = fgetc(log)) != EOF) {
        if (atLineStart || matched > 0) {
            if (byte == MARK[matched]) {
                if (++matched == sizeof(MARK) - 1) {
                    ++count;
                    matched = 0;
                }
            } else {
                matched = 0;
            }
        }
        atLineStart = byte == '\n';
    }
    fclose(log);
    return count;
}

Plan ReadPlan(const char *controlPath, unsigned long index)
{
    Plan fallback = {ACTION_EXIT, 0};
    Plan chosen = fallback;
    bool haveOwn = false;
    FILE *control = fopen(controlPath, "rb");
    if (control == NULL) {
        return fallback;
    }
    char line[256];
    while (fgets(line, sizeof(line), control) != NULL) {
        char who[32];
        char what[32];
        unsigned long value = 0;
        int fields = sscanf(line, "%31s %31s %lu", who, what, &value);
        if (fields < 2) {
            continue;
        }
        Plan plan = fallback;
        if (strcmp(what, "exit") == 0) {
            plan.action = ACTION_EXIT;
        } else if (strcmp(what, "sleep") == 0) {
            plan.action = ACTION_SLEEP;
        } else if (strcmp(what, "crash") == 0) {
            plan.action = ACTION_CRASH;
        } else {
            continue;
        }
        plan.value = fields == 3 ? value : 0;
        if (strcmp(who, "default") == 0) {
            if (!haveOwn) {
                chosen = plan;
            }
        } else {
            char *end = NULL;
            unsigned long lineIndex = strtoul(who, &end, 10);
            if (end != who && *end == '\0' && lineIndex == index) {
                chosen = plan;
                haveOwn = true;
            }
        }
    }
    fclose(control);
    return chosen;
}

LONG WINAPI DeclineException(EXCEPTION_POINTERS *)
{
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

int main()
{
    unsigned long long startedAt = NowMicroseconds();
    DWORD pid = GetCurrentProcessId();

    char modulePath[MAX_PATH * 4];
    DWORD moduleLength = GetModuleFileNameA(NULL, modulePath, sizeof(modulePath));
    if (moduleLength == 0 || moduleLength >= sizeof(modulePath)) {
        return 90;
    }
    modulePath[moduleLength] = '\0';

    char directory[sizeof(modulePath)];
    memcpy(directory, modulePath, moduleLength + 1);
    char *lastSeparator = strrchr(directory, '\\');
    if (lastSeparator == NULL) {
        return 91;
    }
    *lastSeparator = '\0';

    char logPath[sizeof(directory) + sizeof(LOG_NAME) + 1];
    char controlPath[sizeof(directory) + sizeof(CONTROL_NAME) + 1];
    snprintf(logPath, sizeof(logPath), "%s\\%s", directory, LOG_NAME);
    snprintf(controlPath, sizeof(controlPath), "%s\\%s", directory, CONTROL_NAME);

    unsigned long index = CountStartRecords(logPath);
    Plan plan = ReadPlan(controlPath, index);

    const char *commandLine = GetCommandLineA();
    size_t recordSize = strlen(commandLine) + moduleLength + 128;
    char *record = (char *)malloc(recordSize);
    if (record == NULL) {
        return 92;
    }
    snprintf(record, recordSize, "start\tindex=%lu\tpid=%lu\tus=%llu\tmodule=%s\tcmdline=%s\n",
             index, (unsigned long)pid, startedAt, modulePath, commandLine);
    AppendRecord(logPath, record);

    if (plan.action == ACTION_CRASH) {
        snprintf(record, recordSize, "crash\tindex=%lu\tpid=%lu\tus=%llu\n", index,
                 (unsigned long)pid, NowMicroseconds());
        AppendRecord(logPath, record);
        // Wine's default handling starts its debugger, which writes a dump
        // into the standard error the tool shares with this process; a
        // filter that only declines keeps the death by access violation
        // and its exit code, and the tool's output stays the tool's.
        SetUnhandledExceptionFilter(DeclineException);
        // Write through a volatile pointer so the compiler cannot see the
        // null and replace the fault with a trap instruction.
        volatile int *volatile nowhere = NULL;
        *nowhere = 1;
        return 93;
    }

    UINT exitCode = 0;
    if (plan.action == ACTION_SLEEP) {
        Sleep((DWORD)plan.value);
    } else {
        exitCode = (UINT)plan.value;
    }
    snprintf(record, recordSize, "end\tindex=%lu\tpid=%lu\tus=%llu\tcode=%u\n", index,
             (unsigned long)pid, NowMicroseconds(), exitCode);
    AppendRecord(logPath, record);
    free(record);
    return (int)exitCode;
}
