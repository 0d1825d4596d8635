// The lock for state that is held across calls into the interpreter.
//
// Without a GIL the interpreter still pauses every thread now and then ("stop the world": for
// sys.monitoring.set_events, for the garbage collector). A thread that waits for an ordinary
// mutex while attached to the interpreter cannot be paused, so if the mutex's holder is itself
// waiting for the world to stop, both wait forever. PyMutex detaches the waiting thread while it
// blocks, which breaks that cycle; every lock of the extension that may be held while Python
// code or a stopping interpreter call runs (ACTIVE, a tracer's run lock, the start lock) is
// therefore a DetachedMutex.
//
// With a GIL the same holds for the GIL itself: a thread that waited for the mutex holding the
// GIL would keep out the holder, which needs the GIL to finish; PyMutex releases the GIL while
// it waits.
//
// Locks that are never held across a Python call (the interner's and the thread registry's
// reader-writer locks) are plain std::shared_mutex: their holders never reach a pause point.
#pragma once

#include "py/pyapi.h"

namespace vespra {

class DetachedMutex {
  public:
    constexpr DetachedMutex() = default;
    DetachedMutex(const DetachedMutex&) = delete;
    DetachedMutex& operator=(const DetachedMutex&) = delete;

    // May be called attached (detaches while waiting) or detached.
    void lock() { PyMutex_Lock(&mutex_); }
    void unlock() { PyMutex_Unlock(&mutex_); }

  private:
    PyMutex mutex_{};
};

class DetachedLock {
  public:
    explicit DetachedLock(DetachedMutex& mutex) : mutex_(&mutex) { mutex_->lock(); }
    ~DetachedLock() {
        if (mutex_) mutex_->unlock();
    }
    // Releases early; the destructor then does nothing.
    void unlock() {
        mutex_->unlock();
        mutex_ = nullptr;
    }
    DetachedLock(const DetachedLock&) = delete;
    DetachedLock& operator=(const DetachedLock&) = delete;

  private:
    DetachedMutex* mutex_;
};

}  // namespace vespra
