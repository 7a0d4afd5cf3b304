// The module's one mutex type, its scoped guard and its condition variable,
// annotated so that clang's -Wthread-safety checks which lock guards what
// (scripts/thread_safety.sh). The annotations are empty under other compilers.
// Rules and lock order: docs/design-locking.md.
#ifndef VELTO_VALUE_MUTEX_H_
#define VELTO_VALUE_MUTEX_H_

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VELTO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VELTO_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) VELTO_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY VELTO_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(lock) VELTO_THREAD_ANNOTATION(guarded_by(lock))
#define PT_GUARDED_BY(lock) VELTO_THREAD_ANNOTATION(pt_guarded_by(lock))
#define REQUIRES(...) VELTO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VELTO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VELTO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VELTO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS VELTO_THREAD_ANNOTATION(no_thread_safety_analysis)

class CondVar;

// A non-recursive mutex. Constant-initialised with a trivial destructor, so a
// namespace-scope one stays usable by threads that outlive static destruction.
class CAPABILITY("mutex") Mutex {
 public:
  constexpr Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds `mutex` for its own lifetime.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~MutexLock() RELEASE() { mutex_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

// A condition variable; each wait names the Mutex it holds.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases `mutex` while blocked and holds it again on return, which may be
  // spurious: callers re-check their condition in a loop.
  void Wait(Mutex* mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> held(mutex->mutex_, std::adopt_lock);
    event_.wait(held);
    held.release();
  }
  void SignalAll() { event_.notify_all(); }

 private:
  std::condition_variable event_;
};

#endif  // VELTO_VALUE_MUTEX_H_
