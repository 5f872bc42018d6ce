#pragma once
// The reader-writer lock behind the library's state lock and learned-data lock
// (docs/threading.md).
//
// A writer that waits keeps new readers out, so a host that recognises
// continuously on several threads cannot keep Close or an import waiting for
// ever (the system's shared mutex lets readers overtake a waiting writer).
#include <condition_variable>
#include <mutex>

class QxRwLock {
public:
    void lock();
    void unlock();
    void lock_shared();
    // False at once when a writer holds the lock or waits for it.
    bool try_lock_shared();
    void unlock_shared();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int readers_ = 0;
    int writers_waiting_ = 0;
    bool writer_ = false;
};
