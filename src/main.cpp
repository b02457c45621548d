// BrelmotCp.exe: installs the driver packages found in its working directory
// through the system's pnputil.exe. It takes no arguments, prints nothing
// and always exits 0: setup programs that ship it must never fail on it.
#include "installer.h"

int main(void)
{
    InstallDriverPackages();
    return 0;
}
