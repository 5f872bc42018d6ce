#pragma once
// The reader-writer lock behind the library's state lock and learned-data lock
// (docs/threading.md).
//
// A writer that waits keeps new readers out, so a host that recognises
// continuously on several threads cannot keep Close or an import waiting for
// ever (the system's shared mutex lets readers overtake a waiting writer).
// A writer may also announce itself before it waits: readers that asked to be
// refused then give up at once instead of queueing behind a learning run.
#include <condition_variable>
#include <mutex>

class QxRwLock {
public:
    void lock();
    void unlock();
    void lock_shared();
    // As lock_shared, but gives up (false, nothing held) while a writer is announced.
    bool lock_shared_unless_announced();
    void unlock_shared();
    void announce();
    void withdraw();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int readers_ = 0;
    int writers_waiting_ = 0;
    int announced_ = 0;
    bool writer_ = false;
};
