#include "platform/posix/stop_signals.h"

#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include "platform/posix/file_errors.h"

namespace emsgraft {
namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// What the handler reads and writes: nothing else is async-signal-safe.
volatile sig_atomic_t caught = 0;
volatile sig_atomic_t temporaryNoted = 0;
int temporaryDirectory = -1;
char temporaryName[NAME_MAX + 1];

bool catching = false;

sigset_t StopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kStopSignals)
        sigaddset(&set, signal);
    return set;
}

void OnStopSignal(int signal)
{
    if (caught == 0) {
        caught = signal;
        return;
    }
    if (temporaryNoted)
        unlinkat(temporaryDirectory, temporaryName, 0);
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    // Held back while the handler runs; its default action ends the process
    // as soon as the handler returns.
    raise(signal);
}

}  // namespace

void CatchStopSignals()
{
    if (catching)
        return;
    catching = true;
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    action.sa_mask = StopSignalSet();  // one handler at a time
    action.sa_flags = SA_RESTART;
    for (int signal : kStopSignals) {
        struct sigaction current;
        // A signal that the caller ignores (nohup, a background job) stays
        // ignored.
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

int StopSignalError() { return caught != 0 ? kStoppedBySignal + caught : 0; }

void NoteTemporaryFile(int directory, const std::string &name)
{
    temporaryNoted = 0;
    temporaryDirectory = directory;
    strncpy(temporaryName, name.c_str(), NAME_MAX);
    temporaryName[NAME_MAX] = '\0';
    temporaryNoted = 1;
}

void ForgetTemporaryFile() { temporaryNoted = 0; }

StopSignalsHeld::StopSignalsHeld()
{
    sigset_t held = StopSignalSet();
    sigprocmask(SIG_BLOCK, &held, &previous_);
}

StopSignalsHeld::~StopSignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace emsgraft
