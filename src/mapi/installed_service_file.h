#ifndef EMSGRAFT_MAPI_INSTALLED_SERVICE_FILE_H
#define EMSGRAFT_MAPI_INSTALLED_SERVICE_FILE_H

#include "platform/library.h"

// The service file's name, in the system directory as beside the component.
static const char SERVICE_FILE_NAME[] = "mapisvc.inf";

// Points `ServiceFilePath` (MAX_PATH bytes) at the mapisvc.inf beside the
// installed MAPI component, when the MAPI stub library can tell where that is;
// leaves it unchanged otherwise.
void FindInstalledServiceFile(char *ServiceFilePath);

// Forms in `Path` (MAX_PATH bytes) the path of the file `Name` in the system
// directory: the directory, one separator (the directory's own trailing one,
// if it has one), the name. FALSE, with `Path` empty, when the directory
// cannot be had or the path would not fit.
BOOL SystemDirectoryFile(LPCSTR Name, char *Path);

#ifdef _WIN32
// Loads the library `Name` from the system directory by its full path: what
// a Windows that does not know LOAD_LIBRARY_SEARCH_SYSTEM32 gets instead.
HMODULE LoadLibraryFromSystemDirectory(LPCSTR Name);
#endif

#endif
