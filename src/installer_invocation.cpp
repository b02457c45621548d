// The installer invocation: one pnputil.exe run for one package path, with a
// bounded wait, a kill past the bound and every handle released.
#include "installer.h"

static const char INSTALL_COMMAND_HEAD[] = "pnputil.exe /add-driver";
static const char INSTALL_COMMAND_TAIL[] = "/install";
static const char INSTALLER_FILE_NAME[] = "\\pnputil.exe";

// FormatInstallCommand
//   Takes a COMMAND_LINE_SIZE buffer and one package path. Writes the
//   command line with the path quoted, so a path with spaces stays one
//   argument. The path is at most 255 bytes, so the line always fits.
void FormatInstallCommand(char commandLine[COMMAND_LINE_SIZE], const char *packagePath)
{
    sprintf_s(commandLine, COMMAND_LINE_SIZE, "%s \"%s\" %s", INSTALL_COMMAND_HEAD, packagePath,
              INSTALL_COMMAND_TAIL);
}

// FormatInstallerPath
//   Takes a PATH_SLOT_SIZE buffer. Writes the full path of the system
//   directory's pnputil.exe. Returns 1 when it was formed whole, 0 otherwise.
//   The tool runs elevated: naming the program in full keeps the program
//   search from picking a pnputil.exe planted beside the tool or in the
//   working directory.
static int FormatInstallerPath(char installerPath[PATH_SLOT_SIZE])
{
    UINT queryResult = GetSystemDirectoryA(installerPath, PATH_SLOT_SIZE);
    size_t directoryLength = strnlen(installerPath, PATH_SLOT_SIZE);
    if (queryResult == 0 || queryResult >= PATH_SLOT_SIZE || directoryLength == 0 ||
        directoryLength + strlen(INSTALLER_FILE_NAME) >= PATH_SLOT_SIZE) {
        return 0;
    }
    strcat_s(installerPath, PATH_SLOT_SIZE, INSTALLER_FILE_NAME);
    return 1;
}

// RunInstallCommand
//   Takes one package path. Starts pnputil.exe for it, waits at most
//   INSTALL_WAIT_MS and terminates it past that or when the wait fails.
//   Returns ATTEMPT_SUCCEEDED when the child ended within the bound,
//   whatever its exit code, and ATTEMPT_FAILED otherwise. No handle
//   outlives the call; a killed child is not waited for again.
int RunInstallCommand(const char *packagePath)
{
    char commandLine[COMMAND_LINE_SIZE];
    memset(commandLine, 0, sizeof(commandLine));
    FormatInstallCommand(commandLine, packagePath);

    char installerPath[PATH_SLOT_SIZE];
    memset(installerPath, 0, sizeof(installerPath));
    if (!FormatInstallerPath(installerPath)) {
        return ATTEMPT_FAILED;
    }

    STARTUPINFOA startupInfo;
    memset(&startupInfo, 0, sizeof(startupInfo));
    startupInfo.cb = sizeof(startupInfo);

    PROCESS_INFORMATION processInfo;
    memset(&processInfo, 0, sizeof(processInfo));

    if (!CreateProcessA(installerPath, commandLine, NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS,
                        NULL, NULL, &startupInfo, &processInfo)) {
        return ATTEMPT_FAILED;
    }

    DWORD waitResult = WaitForSingleObject(processInfo.hProcess, INSTALL_WAIT_MS);
    if (waitResult == WAIT_TIMEOUT || waitResult == WAIT_FAILED) {
        CloseHandle(processInfo.hThread);
        TerminateProcess(processInfo.hProcess, 0);
        CloseHandle(processInfo.hProcess);
        return ATTEMPT_FAILED;
    }

    CloseHandle(processInfo.hProcess);
    CloseHandle(processInfo.hThread);
    return ATTEMPT_SUCCEEDED;
}
