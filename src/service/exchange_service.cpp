#include "service/exchange_service.h"

#include <stdio.h>
#include <string.h>

#include "platform/profile.h"

struct ServiceEntry {
    const char *Section;
    const char *Key;
    const char *Value;
};

struct ServiceKey {
    const char *Key;
    const char *Value;
};

// A section's keys fill its first slots; the slots after them stay empty.
static const int MAX_SECTION_KEYS = 8;
struct ServiceSection {
    const char *Name;
    ServiceKey Keys[MAX_SECTION_KEYS];
};

// Registers the service; always written.
static const ServiceEntry ExchangeServiceRegistration[] = {
    {"Services", "MSEMS", "Microsoft Exchange Server"},
    {"Default Services", "MSEMS", "Microsoft Exchange Server"},
};
static const int REGISTRATION_ENTRIES = sizeof ExchangeServiceRegistration / sizeof ExchangeServiceRegistration[0];

// Defines the service; each section is written only where the file does not
// hold it with at least one key.
static const ServiceSection ExchangeServiceSections[] = {
    {"MSEMS",
     {{"PR_DISPLAY_NAME", "Microsoft Exchange Server"},
      {"Sections", "MSEMS_MSMail_Section"},
      {"PR_SERVICE_DLL_NAME", "emsui.dll"},
      {"PR_SERVICE_ENTRY_NAME", "EMSCfg"},
      {"PR_RESOURCE_FLAGS", "SERVICE_SINGLE_COPY"},
      {"WIZARD_ENTRY_NAME", "EMSWizardEntry"},
      {"Providers", "ems_dsa, ems_mdb_public, ems_mdb_private"},
      {"PR_SERVICE_SUPPORT_FILES", "emsui.dll, emsabp.dll, emsmdb.dll"}}},
    {"EMS_DSA",
     {{"PR_DISPLAY_NAME", "Microsoft Exchange Directory Service"},
      {"PR_PROVIDER_DISPLAY", "Microsoft Exchange Directory Service"},
      {"PR_PROVIDER_DLL_NAME", "EMSABP.DLL"},
      {"PR_RESOURCE_TYPE", "MAPI_AB_PROVIDER"}}},
    {"EMS_MDB_public",
     {{"PR_RESOURCE_TYPE", "MAPI_STORE_PROVIDER"},
      {"PR_PROVIDER_DLL_NAME", "EMSMDB.DLL"},
      {"PR_RESOURCE_FLAGS", "STATUS_NO_DEFAULT_STORE"},
      {"66090003", "06000000"},
      {"660A0003", "03000000"},
      {"34140102", "78b2fa70aff711cd9bc800aa002fc45a"},
      {"PR_DISPLAY_NAME", "Public Folders"},
      {"PR_PROVIDER_DISPLAY", "Microsoft Exchange Message Store"}}},
    {"EMS_MDB_private",
     {{"PR_PROVIDER_DLL_NAME", "EMSMDB.DLL"},
      {"PR_RESOURCE_TYPE", "MAPI_STORE_PROVIDER"},
      {"PR_RESOURCE_FLAGS", "STATUS_PRIMARY_IDENTITY|STATUS_DEFAULT_STORE|STATUS_PRIMARY_STORE"},
      {"66090003", "0C000000"},
      {"660A0003", "01000000"},
      {"34140102", "5494A1C0297F101BA58708002B2A2517"},
      {"PR_DISPLAY_NAME", "Private Folders"},
      {"PR_PROVIDER_DISPLAY", "Microsoft Exchange Message Store"}}},
    {"MSEMS_MSMail_Section",
     {{"UID", "13DBB0C8AA05101A9BB000AA002FC45A"},
      {"66000003", "01050000"},
      {"66010003", "04000000"},
      {"66050003", "03000000"},
      {"66040003", "02000000"}}},
    {"EMSDelegate",
     {{"PR_PROVIDER_DISPLAY", "Microsoft Exchange Message Store"},
      {"PR_RESOURCE_TYPE", "MAPI_STORE_PROVIDER"},
      {"PR_PROVIDER_DLL_NAME", "EMSMDB.DLL"},
      {"PR_RESOURCE_FLAGS", "STATUS_NO_DEFAULT_STORE"},
      {"660A0003", "02000000"},
      {"34140102", "9eb4770074e411ce8c5e00aa004254e2"},
      {"66090003", "0C000000"}}},
};
static const int SERVICE_SECTIONS = sizeof ExchangeServiceSections / sizeof ExchangeServiceSections[0];

static const DWORD VALUE_BUFFER_SIZE = 1024;

// Whether a section's listing from GetPrivateProfileSectionA shows a key: a
// line with "=" after a non-empty name. Comments are not listed, and lines
// holding only a name or with an empty name (which the key list would hide
// behind it) are no keys. A listing that filled the buffer may have been cut
// before its first key: the section is then kept as it is.
static BOOL ListingHoldsKeys(const char *Listing, DWORD Length, DWORD Size)
{
    if (Length >= Size - 2)
        return TRUE;
    for (DWORD i = 0; i < Length; i += (DWORD)strlen(Listing + i) + 1) {
        const char *Equals = strchr(Listing + i, '=');
        if (Equals != NULL && Equals != Listing + i)
            return TRUE;
    }
    return FALSE;
}

// Ends the announcement line, reports why the update failed and puts the file
// back as it was.
static int ReportFailedUpdate(const char *ServiceFilePath, const char *ProfilePath)
{
    char Reason[256];
    LastErrorMessage(Reason, sizeof Reason);
    AbandonProfileUpdate(ProfilePath);
    printf("\nUnable to update MAPI service file %s: %s\n", ServiceFilePath, Reason);
    return 1;
}

int AddExchangeService(const char *ServiceFilePath)
{
    char ProfilePath[MAX_PATH];
    char Value[VALUE_BUFFER_SIZE];

    if (!ResolveProfilePath(ServiceFilePath, ProfilePath, sizeof ProfilePath)) {
        LastErrorMessage(Value, sizeof Value);
        printf("Unable to update MAPI service file %s: %s\n", ServiceFilePath, Value);
        return 1;
    }

    if (GetPrivateProfileStringA("Services", "MSEMS", "", Value, VALUE_BUFFER_SIZE, ProfilePath) != 0) {
        printf("MSEMS service information already exists in %s\n", ServiceFilePath);
        return 1;
    }

    printf("Adding MSEMS service information to %s...", ServiceFilePath);
    fflush(stdout);

    if (!BeginProfileUpdate(ProfilePath))
        return ReportFailedUpdate(ServiceFilePath, ProfilePath);

    for (int i = 0; i < REGISTRATION_ENTRIES; i++) {
        const ServiceEntry *Entry = &ExchangeServiceRegistration[i];
        if (!WritePrivateProfileStringA(Entry->Section, Entry->Key, Entry->Value, ProfilePath))
            return ReportFailedUpdate(ServiceFilePath, ProfilePath);
    }

    for (int i = 0; i < SERVICE_SECTIONS; i++) {
        const ServiceSection *Section = &ExchangeServiceSections[i];
        DWORD Length = GetPrivateProfileSectionA(Section->Name, Value, VALUE_BUFFER_SIZE, ProfilePath);
        if (ListingHoldsKeys(Value, Length, VALUE_BUFFER_SIZE))
            continue;
        for (int k = 0; k < MAX_SECTION_KEYS && Section->Keys[k].Key != NULL; k++) {
            const ServiceKey *Key = &Section->Keys[k];
            if (!WritePrivateProfileStringA(Section->Name, Key->Key, Key->Value, ProfilePath))
                return ReportFailedUpdate(ServiceFilePath, ProfilePath);
        }
    }

    if (!CommitProfileUpdate(ProfilePath))
        return ReportFailedUpdate(ServiceFilePath, ProfilePath);

    printf("Done\n");
    return 0;
}
