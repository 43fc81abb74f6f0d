#ifndef EMSGRAFT_MAPI_INSTALLED_SERVICE_FILE_H
#define EMSGRAFT_MAPI_INSTALLED_SERVICE_FILE_H

// The service file's name, in the system directory as beside the component.
static const char SERVICE_FILE_NAME[] = "mapisvc.inf";

// Points `ServiceFilePath` (MAX_PATH bytes) at the mapisvc.inf beside the
// installed MAPI component, when the MAPI stub library can tell where that is;
// leaves it unchanged otherwise.
void FindInstalledServiceFile(char *ServiceFilePath);

#endif
