// The one seam between the installer core and the system. The core calls
// the Windows API and the C runtime by their own names; on Windows those
// come from the toolchain's headers, elsewhere (the host unit tests) from
// the declarations below, which cover exactly what the core uses and follow
// the x86-64 Windows layouts so the fake sees what Windows would.
#ifndef BRELMOTCP_PLATFORM_H
#define BRELMOTCP_PLATFORM_H

#if defined(_WIN32)

#include <windows.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

#else

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define WINAPI
#define FALSE 0
#define TRUE 1

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef char CHAR;
typedef void *LPVOID;
typedef void *HANDLE;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef BYTE *LPBYTE;
typedef unsigned int UINT;
typedef int errno_t;
typedef size_t rsize_t;

#define NORMAL_PRIORITY_CLASS 0x00000020u
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

extern "C" {
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);
UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode);
BOOL WINAPI CloseHandle(HANDLE hObject);

int _access(const char *path, int mode);
errno_t strcpy_s(char *dest, rsize_t destSize, const char *src);
errno_t strcat_s(char *dest, rsize_t destSize, const char *src);
int sprintf_s(char *buffer, size_t bufferSize, const char *format, ...);
}

#endif

// The core relies on these layouts; a toolchain or a declaration above that
// disagreed would hand the system records of the wrong size.
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA must be 148 bytes");
static_assert(sizeof(STARTUPINFOA) == 104, "STARTUPINFOA must be 104 bytes");
static_assert(sizeof(PROCESS_INFORMATION) == 24, "PROCESS_INFORMATION must be 24 bytes");
static_assert(sizeof(DWORD) == 4, "DWORD must be 32 bits");

#endif
