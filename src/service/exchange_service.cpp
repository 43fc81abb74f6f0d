#include "service/exchange_service.h"

#include <stdio.h>
#include <string.h>

#include "platform/profile.h"

struct ServiceEntry {
    const char *Section;
    const char *Key;
    const char *Value;
};

// The first REGISTRATION_ENTRIES entries register the service and are always
// written; the rest define six sections, each written only where the file does
// not hold that section with at least one key.
static const int REGISTRATION_ENTRIES = 2;
static const ServiceEntry ExchangeServiceDefinition[] = {
    {"Services", "MSEMS", "Microsoft Exchange Server"},
    {"Default Services", "MSEMS", "Microsoft Exchange Server"},

    {"MSEMS", "PR_DISPLAY_NAME", "Microsoft Exchange Server"},
    {"MSEMS", "Sections", "MSEMS_MSMail_Section"},
    {"MSEMS", "PR_SERVICE_DLL_NAME", "emsui.dll"},
    {"MSEMS", "PR_SERVICE_ENTRY_NAME", "EMSCfg"},
    {"MSEMS", "PR_RESOURCE_FLAGS", "SERVICE_SINGLE_COPY"},
    {"MSEMS", "WIZARD_ENTRY_NAME", "EMSWizardEntry"},
    {"MSEMS", "Providers", "ems_dsa, ems_mdb_public, ems_mdb_private"},
    {"MSEMS", "PR_SERVICE_SUPPORT_FILES", "emsui.dll, emsabp.dll, emsmdb.dll"},

    {"EMS_DSA", "PR_DISPLAY_NAME", "Microsoft Exchange Directory Service"},
    {"EMS_DSA", "PR_PROVIDER_DISPLAY", "Microsoft Exchange Directory Service"},
    {"EMS_DSA", "PR_PROVIDER_DLL_NAME", "EMSABP.DLL"},
    {"EMS_DSA", "PR_RESOURCE_TYPE", "MAPI_AB_PROVIDER"},

    {"EMS_MDB_public", "PR_RESOURCE_TYPE", "MAPI_STORE_PROVIDER"},
    {"EMS_MDB_public", "PR_PROVIDER_DLL_NAME", "EMSMDB.DLL"},
    {"EMS_MDB_public", "PR_RESOURCE_FLAGS", "STATUS_NO_DEFAULT_STORE"},
    {"EMS_MDB_public", "66090003", "06000000"},
    {"EMS_MDB_public", "660A0003", "03000000"},
    {"EMS_MDB_public", "34140102", "78b2fa70aff711cd9bc800aa002fc45a"},
    {"EMS_MDB_public", "PR_DISPLAY_NAME", "Public Folders"},
    {"EMS_MDB_public", "PR_PROVIDER_DISPLAY", "Microsoft Exchange Message Store"},

    {"EMS_MDB_private", "PR_PROVIDER_DLL_NAME", "EMSMDB.DLL"},
    {"EMS_MDB_private", "PR_RESOURCE_TYPE", "MAPI_STORE_PROVIDER"},
    {"EMS_MDB_private", "PR_RESOURCE_FLAGS", "STATUS_PRIMARY_IDENTITY|STATUS_DEFAULT_STORE|STATUS_PRIMARY_STORE"},
    {"EMS_MDB_private", "66090003", "0C000000"},
    {"EMS_MDB_private", "660A0003", "01000000"},
    {"EMS_MDB_private", "34140102", "5494A1C0297F101BA58708002B2A2517"},
    {"EMS_MDB_private", "PR_DISPLAY_NAME", "Private Folders"},
    {"EMS_MDB_private", "PR_PROVIDER_DISPLAY", "Microsoft Exchange Message Store"},

    {"MSEMS_MSMail_Section", "UID", "13DBB0C8AA05101A9BB000AA002FC45A"},
    {"MSEMS_MSMail_Section", "66000003", "01050000"},
    {"MSEMS_MSMail_Section", "66010003", "04000000"},
    {"MSEMS_MSMail_Section", "66050003", "03000000"},
    {"MSEMS_MSMail_Section", "66040003", "02000000"},

    {"EMSDelegate", "PR_PROVIDER_DISPLAY", "Microsoft Exchange Message Store"},
    {"EMSDelegate", "PR_RESOURCE_TYPE", "MAPI_STORE_PROVIDER"},
    {"EMSDelegate", "PR_PROVIDER_DLL_NAME", "EMSMDB.DLL"},
    {"EMSDelegate", "PR_RESOURCE_FLAGS", "STATUS_NO_DEFAULT_STORE"},
    {"EMSDelegate", "660A0003", "02000000"},
    {"EMSDelegate", "34140102", "9eb4770074e411ce8c5e00aa004254e2"},
    {"EMSDelegate", "66090003", "0C000000"},
};
static const int DEFINITION_ENTRIES = sizeof ExchangeServiceDefinition / sizeof ExchangeServiceDefinition[0];

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

    BOOL WriteSection = TRUE;
    for (int i = 0; i < DEFINITION_ENTRIES; i++) {
        const ServiceEntry *Entry = &ExchangeServiceDefinition[i];
        BOOL FirstOfSection = i == REGISTRATION_ENTRIES ||
                              (i > REGISTRATION_ENTRIES &&
                               strcmp(Entry->Section, ExchangeServiceDefinition[i - 1].Section) != 0);
        if (FirstOfSection) {
            DWORD Length = GetPrivateProfileSectionA(Entry->Section, Value, VALUE_BUFFER_SIZE, ProfilePath);
            WriteSection = !ListingHoldsKeys(Value, Length, VALUE_BUFFER_SIZE);
        }
        if (!WriteSection)
            continue;
        if (!WritePrivateProfileStringA(Entry->Section, Entry->Key, Entry->Value, ProfilePath))
            return ReportFailedUpdate(ServiceFilePath, ProfilePath);
    }

    if (!CommitProfileUpdate(ProfilePath))
        return ReportFailedUpdate(ServiceFilePath, ProfilePath);

    printf("Done\n");
    return 0;
}
