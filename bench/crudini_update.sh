#!/usr/bin/env bash
# The emsgraft update written as a shell script over crudini, for comparison:
# the same 42 entries and the same rules. Refuse a file whose [Services] has a
# non-empty MSEMS; otherwise write the two registration entries, and each of
# the six definition sections only where the section has no key yet. Every
# check is a crudini call of its own; all the writes go in one crudini --merge,
# which is the quickest way crudini offers (one --set per entry takes about
# four times as long). Unlike emsgraft, crudini matches names with their case.
#
#   crudini_update.sh FILE
set -uo pipefail
[ $# -eq 1 ] || { echo "usage: $0 FILE" >&2; exit 2; }
file=$1

if [ -n "$(crudini --get "$file" Services MSEMS 2>/dev/null)" ]; then
    echo "MSEMS service information already exists in $file"
    exit 1
fi
printf 'Adding MSEMS service information to %s...' "$file"

definition="
MSEMS|PR_DISPLAY_NAME|Microsoft Exchange Server
MSEMS|Sections|MSEMS_MSMail_Section
MSEMS|PR_SERVICE_DLL_NAME|emsui.dll
MSEMS|PR_SERVICE_ENTRY_NAME|EMSCfg
MSEMS|PR_RESOURCE_FLAGS|SERVICE_SINGLE_COPY
MSEMS|WIZARD_ENTRY_NAME|EMSWizardEntry
MSEMS|Providers|ems_dsa, ems_mdb_public, ems_mdb_private
MSEMS|PR_SERVICE_SUPPORT_FILES|emsui.dll, emsabp.dll, emsmdb.dll
EMS_DSA|PR_DISPLAY_NAME|Microsoft Exchange Directory Service
EMS_DSA|PR_PROVIDER_DISPLAY|Microsoft Exchange Directory Service
EMS_DSA|PR_PROVIDER_DLL_NAME|EMSABP.DLL
EMS_DSA|PR_RESOURCE_TYPE|MAPI_AB_PROVIDER
EMS_MDB_public|PR_RESOURCE_TYPE|MAPI_STORE_PROVIDER
EMS_MDB_public|PR_PROVIDER_DLL_NAME|EMSMDB.DLL
EMS_MDB_public|PR_RESOURCE_FLAGS|STATUS_NO_DEFAULT_STORE
EMS_MDB_public|66090003|06000000
EMS_MDB_public|660A0003|03000000
EMS_MDB_public|34140102|78b2fa70aff711cd9bc800aa002fc45a
EMS_MDB_public|PR_DISPLAY_NAME|Public Folders
EMS_MDB_public|PR_PROVIDER_DISPLAY|Microsoft Exchange Message Store
EMS_MDB_private|PR_PROVIDER_DLL_NAME|EMSMDB.DLL
EMS_MDB_private|PR_RESOURCE_TYPE|MAPI_STORE_PROVIDER
EMS_MDB_private|PR_RESOURCE_FLAGS|STATUS_PRIMARY_IDENTITY|STATUS_DEFAULT_STORE|STATUS_PRIMARY_STORE
EMS_MDB_private|66090003|0C000000
EMS_MDB_private|660A0003|01000000
EMS_MDB_private|34140102|5494A1C0297F101BA58708002B2A2517
EMS_MDB_private|PR_DISPLAY_NAME|Private Folders
EMS_MDB_private|PR_PROVIDER_DISPLAY|Microsoft Exchange Message Store
MSEMS_MSMail_Section|UID|13DBB0C8AA05101A9BB000AA002FC45A
MSEMS_MSMail_Section|66000003|01050000
MSEMS_MSMail_Section|66010003|04000000
MSEMS_MSMail_Section|66050003|03000000
MSEMS_MSMail_Section|66040003|02000000
EMSDelegate|PR_PROVIDER_DISPLAY|Microsoft Exchange Message Store
EMSDelegate|PR_RESOURCE_TYPE|MAPI_STORE_PROVIDER
EMSDelegate|PR_PROVIDER_DLL_NAME|EMSMDB.DLL
EMSDelegate|PR_RESOURCE_FLAGS|STATUS_NO_DEFAULT_STORE
EMSDelegate|660A0003|02000000
EMSDelegate|34140102|9eb4770074e411ce8c5e00aa004254e2
EMSDelegate|66090003|0C000000"

# The entries to add, as one INI text that a single crudini --merge applies.
update=$'[Services]\nMSEMS=Microsoft Exchange Server\n[Default Services]\nMSEMS=Microsoft Exchange Server\n'
current=
while IFS='|' read -r section key value; do
    [ -n "$section" ] || continue
    if [ "$section" != "$current" ]; then
        # A section is added only when it lists no key yet.
        current=$section
        write=no
        [ -z "$(crudini --get "$file" "$section" 2>/dev/null)" ] && write=yes
        [ "$write" = yes ] && update+="[$section]"$'\n'
    fi
    [ "$write" = yes ] && update+="$key=$value"$'\n'
done <<< "$definition"

printf '%s' "$update" | crudini --ini-options=nospace --merge "$file" || exit 1
echo Done
