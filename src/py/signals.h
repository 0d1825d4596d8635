// The signal mask of the threads the extension starts.
#pragma once

#include <pthread.h>
#include <signal.h>

namespace vespra {

// Blocks, on the calling thread and for the object's lifetime, every signal but those a fault
// raises; a thread created meanwhile starts with them blocked. Threads of ours (a run's exporter
// and the serializer it creates, a forked child's SIGTERM watcher) must take none of the
// program's signals: the kernel hands a signal sent to the process to any thread that does not
// block it, and a Python handler interrupts the main thread's blocking call only when the main
// thread itself receives the signal. Caught by one of ours, a Ctrl-C would wait for the end of
// the main thread's time.sleep or lock acquire.
class SignalsBlocked {
  public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT})
            sigdelset(&all, fault);
        pthread_sigmask(SIG_BLOCK, &all, &previous_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  private:
    sigset_t previous_;
};

}  // namespace vespra
