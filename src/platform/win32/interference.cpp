// What shares a Windows machine with an update: programs that hold the file
// or the copy open for a moment, and the console's Ctrl+C.
#include "platform/win32/update.h"

// The pauses between tries of a refused call: about two seconds in all, as
// long as a scanner or backup agent usually holds a new file.
static const DWORD RETRY_PAUSES_MS[] = {5, 10, 20, 40, 80, 160, 320, 500, 500, 500};
static const int RETRIES = sizeof RETRY_PAUSES_MS / sizeof RETRY_PAUSES_MS[0];

BOOL RetryRefused(int *Try)
{
    DWORD Error = GetLastError();
    if (Error != ERROR_SHARING_VIOLATION && Error != ERROR_LOCK_VIOLATION && Error != ERROR_ACCESS_DENIED)
        return FALSE;
    if (*Try >= RETRIES)
        return FALSE;
    Sleep(RETRY_PAUSES_MS[(*Try)++]);
    SetLastError(Error);
    return TRUE;
}

// The console event that stopped the update, or -1. The handler runs on a
// thread of its own.
static volatile LONG StopEvent = -1;
// Signalled while no update is under way: a console that is closing ends
// the process as soon as the handler returns, so the handler waits for it.
static HANDLE Settled;

static BOOL WINAPI OnConsoleControl(DWORD Event)
{
    InterlockedCompareExchange(&StopEvent, (LONG)Event, -1);
    if (Event == CTRL_CLOSE_EVENT || Event == CTRL_LOGOFF_EVENT || Event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(Settled, 4000);  // the system allows 5 seconds
    return TRUE;
}

void CatchConsoleControl(void)
{
    if (Settled != NULL)
        return;
    Settled = CreateEventA(NULL, TRUE, TRUE, NULL);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

BOOL NotStopped(void)
{
    LONG Event = StopEvent;
    if (Event < 0)
        return TRUE;
    SetLastError(ERROR_PROFILE_INTERRUPTED + (DWORD)Event);
    return FALSE;
}

void MarkUpdateUnderWay(BOOL UnderWay)
{
    if (Settled != NULL)
        UnderWay ? ResetEvent(Settled) : SetEvent(Settled);
}
