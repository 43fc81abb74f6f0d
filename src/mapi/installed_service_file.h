#ifndef EMSGRAFT_MAPI_INSTALLED_SERVICE_FILE_H
#define EMSGRAFT_MAPI_INSTALLED_SERVICE_FILE_H

// Points `ServiceFilePath` (MAX_PATH bytes) at the mapisvc.inf beside the
// installed MAPI component, when the MAPI stub library can tell where that is;
// leaves it unchanged otherwise.
void FindInstalledServiceFile(char *ServiceFilePath);

#endif
