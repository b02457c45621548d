// The install run: the version gate, the five package paths formed from the
// working directory, and the walk that hands each present package to the
// installer invocation.
#include "installer.h"

const char PACKAGE_INF_SUFFIXES[PACKAGE_COUNT][PACKAGE_SUFFIX_SIZE] = {
    "\\inf3b17\\WudfBioUsb.inf", "\\inf3b18\\WudfBioUsb.inf", "\\inf3b19\\WudfBioUsb.inf",
    "\\inf3b1a\\WudfBioUsb.inf", "\\inf3b20\\WudfBioUsb.inf",
};

// IsExcludedWindowsVersion
//   Takes the major and minor version the version query reported.
//   Returns true for 5.0 to 5.2 and 6.0 to 6.1, false for anything else.
bool IsExcludedWindowsVersion(DWORD majorVersion, DWORD minorVersion)
{
    if (majorVersion == 5) {
        return minorVersion <= 2;
    }
    if (majorVersion == 6) {
        return minorVersion <= 1;
    }
    return false;
}

// BuildPackagePaths
//   Takes the five slots and fills them with zero bytes. Reads the working
//   directory into slot 1, copies it to slots 2 to 5 and appends each row's
//   suffix.
//   Returns 1 when the directory was read whole, 0 when it was not; then
//   every slot is left empty, because an empty slot plus a suffix would name
//   a package at the root of the current drive, which is not ours to
//   install. A path that cannot be formed whole is left empty rather than
//   cut short or appended past its slot.
int BuildPackagePaths(char packagePaths[PACKAGE_COUNT][PATH_SLOT_SIZE])
{
    memset(packagePaths, 0, sizeof(char[PACKAGE_COUNT][PATH_SLOT_SIZE]));

    // The lengths below come from the text delivered, not from the return
    // value, which only tells whether the directory fitted at all.
    DWORD queryResult = GetCurrentDirectoryA(PATH_SLOT_SIZE, packagePaths[0]);
    size_t directoryLength = strnlen(packagePaths[0], PATH_SLOT_SIZE);
    if (queryResult == 0 || queryResult >= PATH_SLOT_SIZE || directoryLength == 0 ||
        directoryLength >= PATH_SLOT_SIZE) {
        memset(packagePaths[0], 0, PATH_SLOT_SIZE);
        return 0;
    }

    for (int slot = 1; slot < PACKAGE_COUNT; ++slot) {
        strcpy_s(packagePaths[slot], PATH_SLOT_SIZE, packagePaths[0]);
    }

    // Lengths are checked first: a failing bounded append would empty the
    // slot at best and, under some runtimes, end the process.
    for (int slot = 0; slot < PACKAGE_COUNT; ++slot) {
        if (directoryLength + strlen(PACKAGE_INF_SUFFIXES[slot]) < PATH_SLOT_SIZE) {
            strcat_s(packagePaths[slot], PATH_SLOT_SIZE, PACKAGE_INF_SUFFIXES[slot]);
        } else {
            memset(packagePaths[slot], 0, PATH_SLOT_SIZE);
        }
    }
    return 1;
}

// InstallDriverPackages
//   Runs the whole job once. Returns 1 on an excluded Windows version
//   (nothing else is touched then), otherwise the outcome of the last
//   installer run attempted, or ATTEMPT_FAILED when none was attempted.
int InstallDriverPackages(void)
{
    OSVERSIONINFOA versionInfo;
    memset(&versionInfo, 0, sizeof(versionInfo));
    versionInfo.dwOSVersionInfoSize = sizeof(versionInfo);

    // A failed query proceeds: refusing to install is worse than installing
    // on a version that merely could not be told.
    if (GetVersionExA(&versionInfo) &&
        IsExcludedWindowsVersion(versionInfo.dwMajorVersion, versionInfo.dwMinorVersion)) {
        return 1;
    }

    // All five paths are formed before the first probe.
    char packagePaths[PACKAGE_COUNT][PATH_SLOT_SIZE];
    if (!BuildPackagePaths(packagePaths)) {
        return ATTEMPT_FAILED;
    }

    int runResult = ATTEMPT_FAILED;
    for (int slot = 0; slot < PACKAGE_COUNT; ++slot) {
        if (packagePaths[slot][0] == '\0' || _access(packagePaths[slot], 0) != 0) {
            continue;
        }
        runResult = RunInstallCommand(packagePaths[slot]);
    }
    return runResult;
}
