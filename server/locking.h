#pragma once

#include <QMutex>
#include <QReadWriteLock>

// Lock guards for QMutex and QReadWriteLock that also tell ThreadSanitizer
// about the synchronisation: Qt's locks wait in code that the sanitizer does
// not see, so without these it reports races on data the locks protect.

#if defined(__SANITIZE_THREAD__)
#define QUILLON_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLON_TSAN 1
#endif
#endif

#ifdef QUILLON_TSAN
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace quillon {

inline void tsanAcquire(const void* address)
{
#ifdef QUILLON_TSAN
    __tsan_acquire(const_cast<void*>(address));
#else
    Q_UNUSED(address);
#endif
}

inline void tsanRelease(const void* address)
{
#ifdef QUILLON_TSAN
    __tsan_release(const_cast<void*>(address));
#else
    Q_UNUSED(address);
#endif
}

class MutexLocker
{
    Q_DISABLE_COPY(MutexLocker)

public:
    explicit MutexLocker(QMutex* mutex) : m_mutex(mutex) { relock(); }
    ~MutexLocker()
    {
        if (m_locked)
            unlock();
    }
    void unlock()
    {
        tsanRelease(m_mutex);
        m_mutex->unlock();
        m_locked = false;
    }
    void relock()
    {
        m_mutex->lock();
        tsanAcquire(m_mutex);
        m_locked = true;
    }

private:
    QMutex* m_mutex;
    bool m_locked = false;
};

class ReadLocker
{
    Q_DISABLE_COPY(ReadLocker)

public:
    explicit ReadLocker(QReadWriteLock* lock) : m_lock(lock)
    {
        m_lock->lockForRead();
        tsanAcquire(m_lock);
    }
    ~ReadLocker()
    {
        tsanRelease(m_lock);
        m_lock->unlock();
    }

private:
    QReadWriteLock* m_lock;
};

class WriteLocker
{
    Q_DISABLE_COPY(WriteLocker)

public:
    explicit WriteLocker(QReadWriteLock* lock) : m_lock(lock)
    {
        m_lock->lockForWrite();
        tsanAcquire(m_lock);
    }
    ~WriteLocker()
    {
        tsanRelease(m_lock);
        m_lock->unlock();
    }

private:
    QReadWriteLock* m_lock;
};

} // namespace quillon
