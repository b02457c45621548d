// Times programs from inside Wine, so the figures leave out the start-up of
// the wine64 command that a host-side clock would include, and keep what a
// real parent (a setup program) pays: process creation, the child's own
// work and its exit.
//
// Usage: timing_driver.exe <plan file> <result file>
//
// The plan is text, one directive per line, fields separated by tabs:
//   rounds <N>                 measured rounds
//   warmup <N>                 rounds run first and reported as warm-up
//   log <path>                 the stand-in's log: deleted before each run,
//                              its start records counted after it
//   run <label> <directory> <application> <command line>
// Every round runs each "run" line once, in plan order, so the programs
// interleave and drift in the machine's state falls on all of them alike.
//
// The result file gets one line per run:
//   <label> <round> <microseconds> <exit code> <stand-in starts>
// with round -1 for the warm-up. Only CreateProcess to the end of the wait
// is timed; the log handling lies outside it.
//
// An ordinary program with the C runtime, linked statically: its own
// start-up happens once, before any timing.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const int MAX_RUNS = 16;

struct Run {
    char label[64];
    char directory[MAX_PATH];
    char application[MAX_PATH];
    char commandLine[1024];
};

struct Plan {
    int rounds = 0;
    int warmup = 0;
    char log[MAX_PATH] = "";
    Run runs[MAX_RUNS];
    int runCount = 0;
};

// Splits line at tabs into at most maxFields fields, in place; the last
// field keeps any further tabs.
int SplitFields(char *line, char **fields, int maxFields)
{
    int count = 0;
    char *cursor = line;
    while (count < maxFields) {
        fields[count++] = cursor;
        if (count == maxFields) {
            break;
        }
        char *tab = strchr(cursor, '\t');
        if (tab == NULL) {
            break;
        }
        *tab = '\0';
        cursor = tab + 1;
    }
    return count;
}

bool CopyField(char *dest, size_t size, const char *src)
{
    size_t length = strlen(src);
    if (length >= size) {
        return false;
    }
    memcpy(dest, src, length + 1);
    return true;
}

bool ReadPlan(const char *path, Plan *plan)
{
    FILE *file = fopen(path, "rb");
    if (file == NULL) {
        fprintf(stderr, "cannot open plan %s\n", path);
        return false;
    }
    char line[2048];
    bool ok = true;
    while (ok && fgets(line, sizeof(line), file) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] == '\0' || line[0] == '#') {
            continue;
        }
        char *fields[5];
        int count = SplitFields(line, fields, 5);
        if (strcmp(fields[0], "rounds") == 0 && count == 2) {
            plan->rounds = atoi(fields[1]);
        } else if (strcmp(fields[0], "warmup") == 0 && count == 2) {
            plan->warmup = atoi(fields[1]);
        } else if (strcmp(fields[0], "log") == 0 && count == 2) {
            ok = CopyField(plan->log, sizeof(plan->log), fields[1]);
        } else if (strcmp(fields[0], "run") == 0 && count == 5 && plan->runCount < MAX_RUNS) {
            Run *run = &plan->runs[plan->runCount++];
            ok = CopyField(run->label, sizeof(run->label), fields[1]) &&
                 CopyField(run->directory, sizeof(run->directory), fields[2]) &&
                 CopyField(run->application, sizeof(run->application), fields[3]) &&
                 CopyField(run->commandLine, sizeof(run->commandLine), fields[4]);
        } else {
            ok = false;
        }
        if (!ok) {
            fprintf(stderr, "bad plan line: %s\n", fields[0]);
        }
    }
    fclose(file);
    return ok && plan->runCount > 0 && plan->rounds >= 0 && plan->warmup >= 0;
}

// Start records in the stand-in's log: lines beginning "start\t".
int CountStarts(const char *logPath)
{
    FILE *log = fopen(logPath, "rb");
    if (log == NULL) {
        return 0;
    }
    int count = 0;
    char line[4096];
    bool atLineStart = true;
    while (fgets(line, sizeof(line), log) != NULL) {
        if (atLineStart && strncmp(line, "start\t", 6) == 0) {
            ++count;
        }
        atLineStart = strchr(line, '\n') != NULL;
    }
    fclose(log);
    return count;
}

// Runs one program and returns the microseconds from just before its
// creation to the end of the wait, or -1 when it could not be started.
long long TimeOneRun(const Run &run, DWORD *exitCode)
{
    // CreateProcessA may write into the command line, so each run gets a
    // fresh copy.
    char commandLine[sizeof(run.commandLine)];
    memcpy(commandLine, run.commandLine, sizeof(commandLine));

    STARTUPINFOA startupInfo;
    memset(&startupInfo, 0, sizeof(startupInfo));
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo;
    memset(&processInfo, 0, sizeof(processInfo));

    LARGE_INTEGER frequency;
    LARGE_INTEGER before;
    LARGE_INTEGER after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    if (!CreateProcessA(run.application, commandLine, NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS, NULL,
                        run.directory, &startupInfo, &processInfo)) {
        return -1;
    }
    // Generous, so that only a hung program ends a run early; the tool's
    // own bound keeps a hung stand-in well inside it.
    DWORD waited = WaitForSingleObject(processInfo.hProcess, 120000);
    QueryPerformanceCounter(&after);
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(processInfo.hProcess, 1);
        WaitForSingleObject(processInfo.hProcess, 10000);
    }
    *exitCode = 0;
    GetExitCodeProcess(processInfo.hProcess, exitCode);
    CloseHandle(processInfo.hThread);
    CloseHandle(processInfo.hProcess);
    if (waited != WAIT_OBJECT_0) {
        return -1;
    }
    long long ticks = after.QuadPart - before.QuadPart;
    return ticks / frequency.QuadPart * 1000000ll +
           ticks % frequency.QuadPart * 1000000ll / frequency.QuadPart;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: timing_driver.exe <plan file> <result file>\n");
        return 2;
    }
    static Plan plan;
    if (!ReadPlan(argv[1], &plan)) {
        return 2;
    }
    FILE *results = fopen(argv[2], "wb");
    if (results == NULL) {
        fprintf(stderr, "cannot write %s\n", argv[2]);
        return 2;
    }

    int status = 0;
    for (int round = -plan.warmup; round < plan.rounds && status == 0; ++round) {
        for (int index = 0; index < plan.runCount; ++index) {
            const Run &run = plan.runs[index];
            if (plan.log[0] != '\0') {
                DeleteFileA(plan.log);
            }
            DWORD exitCode = 0;
            long long microseconds = TimeOneRun(run, &exitCode);
            if (microseconds < 0) {
                fprintf(stderr, "%s: could not be started or did not end (error %lu)\n", run.label,
                        (unsigned long)GetLastError());
                status = 1;
                break;
            }
            int starts = plan.log[0] != '\0' ? CountStarts(plan.log) : 0;
            fprintf(results, "%s\t%d\t%lld\t%lu\t%d\n", run.label, round < 0 ? -1 : round, microseconds,
                    (unsigned long)exitCode, starts);
        }
    }
    if (fclose(results) != 0) {
        status = 2;
    }
    return status;
}
