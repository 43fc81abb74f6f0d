#ifndef EMSGRAFT_SERVICE_EXCHANGE_SERVICE_H
#define EMSGRAFT_SERVICE_EXCHANGE_SERVICE_H

#include "platform/base.h"

// Registers the MSEMS service in the service file at `ServiceFilePath` and adds
// its definition sections where missing or empty. Prints its own messages.
// Returns 0 when the service was added, 1 otherwise.
int AddExchangeService(const char *ServiceFilePath);

// Says that the update of the file shown as `Shown` failed, and why
// (`Reason`, or else the last platform error), ending the announcement line
// where there is one. Returns the exit status, 1.
int ReportFailedUpdate(const char *Shown, BOOL Announced, const char *Reason);

#endif
