// The signals that ask a program to stop (SIGINT, SIGTERM, SIGHUP, SIGQUIT)
// during an update. Ending the process there would leave the temporary file
// behind and the announced line unfinished; instead the first such signal is
// only noted, and the update fails at its next step with an error that names
// the signal, removing its temporary file as after any failure.
#ifndef EMSGRAFT_PLATFORM_POSIX_STOP_SIGNALS_H
#define EMSGRAFT_PLATFORM_POSIX_STOP_SIGNALS_H

#include <signal.h>

#include <string>

namespace emsgraft {

// From the first call on, for the rest of the process (the run's message
// comes after the update's last step), each of these signals that the
// process does not ignore is noted instead of ending it. A second one ends
// the process at once, by its default action, after removing the noted
// temporary file: an update stuck in a system call (an fsync to a server that
// is gone) can still be left.
void CatchStopSignals();

// 0, or the error that an update fails with once a signal has been noted: a
// FileError that names the signal.
int StopSignalError();

// The temporary file, in the directory `directory` refers to, that a second
// signal removes, and its removal or renaming.
void NoteTemporaryFile(int directory, const std::string &name);
void ForgetTemporaryFile();

// Holds the signals back while it lives, so that the handler never finds a
// temporary file made but not yet noted.
class StopSignalsHeld {
public:
    StopSignalsHeld();
    ~StopSignalsHeld();
    StopSignalsHeld(const StopSignalsHeld &) = delete;
    StopSignalsHeld &operator=(const StopSignalsHeld &) = delete;

private:
    sigset_t previous_;
};

}  // namespace emsgraft

#endif
