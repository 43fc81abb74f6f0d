#!/usr/bin/env bash
# Writes a MAPI service file of about the given size, shaped like the ones
# found on workstations: a [Services] list, [Default Services], then for each
# service its own section and two provider sections, with CRLF line endings.
# It holds no MSEMS, so an update has the whole definition to add.
#
#   make_service_file.sh BYTES OUTPUT
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BYTES OUTPUT" >&2; exit 2; }

awk -v target="$1" 'BEGIN {
    ORS = "\r\n"
    head = "; MAPISVC.INF" ORS ";" ORS "; Message services installed on this workstation." ORS ORS
    # One service costs about this much in [Services] and its three sections.
    n = 0; size = length(head) + 200
    while (size < target) {
        n++
        id = sprintf("SVC%05d", n); dll = sprintf("svc%05d.dll", n)
        list[n] = sprintf("%s=Example Message Service %d", id, n)
        uid = sprintf("%08x%08x%08x%08x", n * 2654435761 % 4294967296, n, 3141592653 - n, n * 40503)
        block[n] = ORS "[" id "]" ORS \
            "PR_DISPLAY_NAME=Example Message Service " n ORS \
            "Providers=" id "_AB, " id "_MS" ORS \
            "PR_SERVICE_DLL_NAME=" dll ORS \
            "PR_SERVICE_SUPPORT_FILES=" dll ", svcui.dll" ORS \
            "PR_SERVICE_ENTRY_NAME=ServiceEntry" ORS \
            "PR_RESOURCE_FLAGS=SERVICE_SINGLE_COPY" ORS \
            ORS "[" id "_AB]" ORS \
            "PR_PROVIDER_DLL_NAME=" dll ORS \
            "PR_RESOURCE_TYPE=MAPI_AB_PROVIDER" ORS \
            "PR_DISPLAY_NAME=Example Address Book " n ORS \
            "PR_PROVIDER_DISPLAY=Example Address Book" ORS \
            ORS "[" id "_MS]" ORS \
            "PR_PROVIDER_DLL_NAME=" dll ORS \
            "PR_RESOURCE_TYPE=MAPI_STORE_PROVIDER" ORS \
            "PR_RESOURCE_FLAGS=STATUS_NO_DEFAULT_STORE" ORS \
            "66090003=06000000" ORS \
            "34140102=" uid ORS \
            "PR_DISPLAY_NAME=Example Store " n ORS \
            "PR_PROVIDER_DISPLAY=Example Message Store"
        size += length(list[n]) + 2 + length(block[n]) + 2
    }
    printf "%s", head
    print "[Services]"
    for (i = 1; i <= n; i++) print list[i]
    print ""
    print "[Default Services]"
    print list[1]
    print ""
    print "[Help File Mappings]"
    print "Example Message Service 1=svc00001.hlp"
    for (i = 1; i <= n; i++) print block[i]
}' > "$2"
