// BrelmotCp installer core: the names the entry point, the install run and
// the installer invocation share.
#ifndef BRELMOTCP_INSTALLER_H
#define BRELMOTCP_INSTALLER_H

#include "platform.h"

enum { PACKAGE_COUNT = 5 };

// One slot per package path: at most 255 bytes of ANSI text and its NUL.
enum { PATH_SLOT_SIZE = 256 };

// The pnputil command line; the longest one the slots allow is 290 bytes.
enum { COMMAND_LINE_SIZE = 512 };

// How long one pnputil run may take before it is terminated.
enum { INSTALL_WAIT_MS = 5000 };

// Each suffix is 23 bytes and brings its own leading backslash.
enum { PACKAGE_SUFFIX_SIZE = 24 };

// The outcome of one installer run; an int so it can be returned as is.
enum AttemptOutcome { ATTEMPT_FAILED = 0, ATTEMPT_SUCCEEDED = 1 };

// In walk order: "inf3b1a" comes before "inf3b20".
extern const char PACKAGE_INF_SUFFIXES[PACKAGE_COUNT][PACKAGE_SUFFIX_SIZE];

// True for the Windows versions the tool leaves alone: 5.0 to 5.2 and
// 6.0 to 6.1.
bool IsExcludedWindowsVersion(DWORD majorVersion, DWORD minorVersion);

// Fills the five slots with the working directory followed by each suffix.
// Returns 1 when the directory was read whole, 0 otherwise (every slot is
// then left empty). A slot whose path would not fit whole is left empty.
int BuildPackagePaths(char packagePaths[PACKAGE_COUNT][PATH_SLOT_SIZE]);

// Writes `pnputil.exe /add-driver "<packagePath>" /install` into a
// COMMAND_LINE_SIZE buffer, bounded by that size.
void FormatInstallCommand(char commandLine[COMMAND_LINE_SIZE], const char *packagePath);

// Runs the system's pnputil.exe for one package and waits for it at most
// INSTALL_WAIT_MS, terminating it past that. Returns an AttemptOutcome.
// Every handle the launch creates is closed before it returns.
int RunInstallCommand(const char *packagePath);

// The whole run: version gate, package paths, walk. Returns 1 on an
// excluded version, otherwise the outcome of the last run attempted, or 0
// when no run was attempted.
int InstallDriverPackages(void);

#endif
