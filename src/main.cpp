// emsgraft: registers the Microsoft Exchange Server message service (MSEMS)
// in a MAPI service file.
#include <stdio.h>
#include <string.h>

#include "mapi/installed_service_file.h"
#include "platform/base.h"
#include "platform/file_attributes.h"
#include "service/exchange_service.h"
#include "shown_path.h"

static BOOL EndsWithInfExtension(const char *Name)
{
    const char *Dot = strrchr(Name, '.');
    if (Dot == NULL || strlen(Dot) != 4)
        return FALSE;
    const char *Inf = ".inf";
    for (int i = 0; i < 4; i++) {
        if (LowerAscii(Dot[i]) != Inf[i])
            return FALSE;
    }
    return TRUE;
}

// Forms the default path: the system directory and the service file's name.
// A system directory that cannot be had, or leaves no room for the name,
// gives an empty path, which the existence test then rejects.
static void SystemDirectoryServiceFile(char *ServiceFilePath)
{
    SystemDirectoryFile(SERVICE_FILE_NAME, ServiceFilePath);
}

int main(int argc, char **argv)
{
    char ServiceFilePath[MAX_PATH];

    if (argc > 2 || (argc == 2 && argv[1][0] != '\0' && strchr(OPTION_MARKERS, argv[1][0]) != NULL)) {
        printf("usage: emsgraft [<path>\\mapisvc.inf]\n");
        return 1;
    }

    if (argc == 2) {
        if (!EndsWithInfExtension(argv[1])) {
            printf("Invalid MAPI service file. Please specify an INF file name.\n");
            return 1;
        }
        // Cutting a longer name could name another file that exists.
        if (strlen(argv[1]) >= MAX_PATH) {
            printf("MAPI service file name is too long. Please specify at most %d characters.\n", MAX_PATH - 1);
            return 1;
        }
        strcpy(ServiceFilePath, argv[1]);
    } else {
        SystemDirectoryServiceFile(ServiceFilePath);
        FindInstalledServiceFile(ServiceFilePath);
    }

    if (GetFileAttributesA(ServiceFilePath) == INVALID_FILE_ATTRIBUTES) {
        // A file that may exist (in a directory that cannot be searched, at
        // the end of links that loop) is not said to be missing.
        BOOL Missing = FileNotFound();
        char Reason[256];
        LastErrorMessage(Reason, sizeof Reason);
        char Shown[SHOWN_PATH_SIZE];
        ShowPath(ServiceFilePath, Shown, sizeof Shown);
        if (!Missing)
            return ReportFailedUpdate(Shown, FALSE, Reason);
        printf("MAPI service file %s not found\n", Shown);
        return 1;
    }

    return AddExchangeService(ServiceFilePath);
}
