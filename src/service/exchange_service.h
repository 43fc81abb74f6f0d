#ifndef EMSGRAFT_SERVICE_EXCHANGE_SERVICE_H
#define EMSGRAFT_SERVICE_EXCHANGE_SERVICE_H

// Registers the MSEMS service in the service file at `ServiceFilePath` and adds
// its definition sections where missing or empty. Prints its own messages.
// Returns 0 when the service was added, 1 otherwise.
int AddExchangeService(const char *ServiceFilePath);

#endif
