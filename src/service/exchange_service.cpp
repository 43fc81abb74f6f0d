#include "service/exchange_service.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/profile.h"
#include "platform/profile_rules.h"
#include "shown_path.h"

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

// Registers the service; always written. The first tells whether a file
// registers it already.
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

// Whether a section's listing from GetPrivateProfileSectionA shows a key
// (IsNamedProfileEntry). A key in a listing cut at the buffer's end is a key
// all the same: its "=" was listed.
static BOOL ListingShowsKey(const char *Listing, DWORD Length)
{
    for (DWORD i = 0; i < Length; i += (DWORD)strlen(Listing + i) + 1) {
        PROFILE_LINE Line = ClassifyProfileLine(Listing + i, strlen(Listing + i));
        if (IsNamedProfileEntry(&Line))
            return TRUE;
    }
    return FALSE;
}

// Whether the section holds a key: 1 or 0; -1 when its listing cannot be
// had whole (out of memory). A listing that fills the buffer without a key
// is read again into one twice as large, the only buffer here not of fixed
// size: a section may hold any number of lines that are no keys.
static int SectionHoldsKey(const char *Section, const char *Draft)
{
    char Fixed[VALUE_BUFFER_SIZE];
    char *Listing = Fixed;
    int Holds = -1;
    for (DWORD Size = sizeof Fixed; Size != 0 && Size <= 0x40000000; Size *= 2) {
        if (Listing == NULL)
            break;
        DWORD Length = GetPrivateProfileSectionA(Section, Listing, Size, Draft);
        BOOL Shows = ListingShowsKey(Listing, Length);
        if (Shows || Length < Size - 2) {
            Holds = Shows;
            break;
        }
        if (Listing != Fixed)
            free(Listing);
        Listing = (char *)malloc((size_t)Size * 2);
    }
    if (Listing != Fixed)
        free(Listing);
    return Holds;
}

// How many times an update starts again from the read when another program
// changed the file meanwhile, and how long it waits before it does: a random
// pause, so that runs started together do not meet again.
static const int UPDATE_ATTEMPTS = 5;
static const DWORD SHORTEST_PAUSE_MS = 20;
static const DWORD PAUSE_SPREAD_MS = 80;

static const DWORD REASON_SIZE = 256;

// Writes the registration, then each definition section that the file does
// not hold with a key. The listings read the draft, which holds what the file
// held when it was read.
static BOOL WriteExchangeService(const char *Draft)
{
    for (int i = 0; i < REGISTRATION_ENTRIES; i++) {
        const ServiceEntry *Entry = &ExchangeServiceRegistration[i];
        if (!WritePrivateProfileStringA(Entry->Section, Entry->Key, Entry->Value, Draft))
            return FALSE;
    }
    for (int i = 0; i < SERVICE_SECTIONS; i++) {
        const ServiceSection *Section = &ExchangeServiceSections[i];
        int Holds = SectionHoldsKey(Section->Name, Draft);
        if (Holds < 0)
            return FALSE;
        if (Holds)
            continue;
        for (int k = 0; k < MAX_SECTION_KEYS && Section->Keys[k].Key != NULL; k++) {
            const ServiceKey *Key = &Section->Keys[k];
            if (!WritePrivateProfileStringA(Section->Name, Key->Key, Key->Value, Draft))
                return FALSE;
        }
    }
    return TRUE;
}

int ReportFailedUpdate(const char *Shown, BOOL Announced, const char *Reason)
{
    char LastError[REASON_SIZE];
    if (Reason == NULL) {
        LastErrorMessage(LastError, sizeof LastError);
        Reason = LastError;
    }
    printf("%sUnable to update MAPI service file %s: %s\n", Announced ? "\n" : "", Shown, Reason);
    return 1;
}

int AddExchangeService(const char *ServiceFilePath)
{
    char Shown[SHOWN_PATH_SIZE];
    char ProfilePath[MAX_PATH];
    char DraftPath[MAX_PATH];
    char Value[VALUE_BUFFER_SIZE];

    ShowPath(ServiceFilePath, Shown, sizeof Shown);
    if (!LocateProfile(ServiceFilePath, ProfilePath, sizeof ProfilePath))
        return ReportFailedUpdate(Shown, FALSE, NULL);

    srand((unsigned)GetCurrentProcessId());
    for (int Attempt = 1;; Attempt++) {
        // A file that cannot be read reads as one without the service; the
        // update then fails, saying why.
        BOOL Read = ReadProfile(ProfilePath);
        const ServiceEntry *Registration = &ExchangeServiceRegistration[0];
        if (Read && GetPrivateProfileStringA(Registration->Section, Registration->Key, "", Value, VALUE_BUFFER_SIZE,
                                             ProfilePath) != 0) {
            // Another program registered the service while this run updated
            // the file: the announced line ends first.
            printf("%sMSEMS service information already exists in %s\n", Attempt > 1 ? "\n" : "", Shown);
            return 1;
        }
        if (Attempt == 1) {
            printf("Adding MSEMS service information to %s...", Shown);
            fflush(stdout);
        }
        BOOL Begun = Read && BeginProfileUpdate(ProfilePath, DraftPath, sizeof DraftPath);
        if (Begun && WriteExchangeService(DraftPath) && CommitProfileUpdate(DraftPath)) {
            printf("Done\n");
            return 0;
        }
        BOOL Changed = ProfileChangedSinceRead();
        char Reason[REASON_SIZE];
        LastErrorMessage(Reason, sizeof Reason);
        if (Begun)
            AbandonProfileUpdate(DraftPath);
        if (!Changed || Attempt == UPDATE_ATTEMPTS)
            return ReportFailedUpdate(Shown, TRUE, Reason);
        // Another program changed the file since it was read: start again
        // from what it holds now.
        Sleep(SHORTEST_PAUSE_MS + (DWORD)rand() % PAUSE_SPREAD_MS);
    }
}
