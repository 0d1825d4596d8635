// The start lock serialises every start and stop of every tracer of the process, from the
// check that the monitoring tool slot is free to the installation of the new run (two threads
// entering tracers at once must not both pass the check and then truncate a file the winner is
// already writing), and from clearing ACTIVE to the join of the exporter thread. Because the fork
// hooks hold it across fork(), no other thread can be half-way through a start or a stop at the
// instant of a fork, and no lock of the extension is inherited locked by a thread that does not
// exist in the child. Lock order: the start lock, then ACTIVE's, then a tracer's run lock.
//
// It remembers its holder: code that runs on a thread holding it (a signal handler, another
// library's fork hook or a finalizer, run by Python code called in the middle of a start, a stop
// or a fork) gets an error if it tries to start or stop a tracer, instead of waiting for itself.
#pragma once

#include <Python.h>

#include <atomic>

#include "py/ft_lock.h"

namespace vespra::tracer {

class StartMutex {
  public:
    // False, with RuntimeError raised, when the calling thread holds it already.
    bool lock() {
        unsigned long me = PyThread_get_thread_ident();
        if (owner_.load(std::memory_order_relaxed) == me) {
            PyErr_SetString(PyExc_RuntimeError,
                            "tracer started or stopped on a thread that is already starting, "
                            "stopping or forking one");
            return false;
        }
        mutex_.lock();
        owner_.store(me, std::memory_order_relaxed);
        return true;
    }
    void unlock() {
        owner_.store(0, std::memory_order_relaxed);
        mutex_.unlock();
    }
    // A thread can only read its own id here if it stored it itself. A forked child's only
    // thread keeps the id of the thread that forked.
    bool held_by_me() const {
        return owner_.load(std::memory_order_relaxed) == PyThread_get_thread_ident();
    }

  private:
    DetachedMutex mutex_;
    std::atomic<unsigned long> owner_{0};
};

inline StartMutex START_LOCK;

class StartLock {
  public:
    StartLock() : held_(START_LOCK.lock()) {}
    ~StartLock() {
        if (held_) START_LOCK.unlock();
    }
    StartLock(const StartLock&) = delete;
    StartLock& operator=(const StartLock&) = delete;
    // False (with the error raised) when the thread held the lock already.
    explicit operator bool() const { return held_; }
    void unlock() {
        if (held_) START_LOCK.unlock();
        held_ = false;
    }

  private:
    bool held_;
};

}  // namespace vespra::tracer
