#pragma once
// Feeds the streams' digests on worker threads, so that hashing runs on the other processors
// while the block loop reads, votes and writes. Hashing is independent per stream: each slot has
// at most one job at a time, and a job touches only its own slot's context, so no two threads
// ever feed one digest. The caller waits for a slot's job before it changes the bytes that job
// reads. Without workers (one processor), every job runs at once in submit(), as a plain call.

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/globals.h"
#include "g_linux_crypt.h"

class digest_pool {
  public:
    static const unsigned MAX_WORKERS = 8;
    // The slot of the one job that is no digest: a function of the caller's over a block.
    static const uint64_t TASK_SLOT = MAX_INPUTS + 1;
    typedef void (*task_function)(void* context, const uint8_t* data, uint64_t len);

    digest_pool() = default;
    ~digest_pool() { stop(); }
    digest_pool(const digest_pool&) = delete;
    digest_pool& operator=(const digest_pool&) = delete;

    // Starts up to `workers` threads (at most MAX_WORKERS) that feed the slots of `crypt`; as
    // many as the system lets it start (none: every job then runs in submit()).
    // REQUIRES: crypt null (tasks only) or enabled with at most MAX_INPUTS + 1 slots; not started.
    void start(G_CRYPT* crypt, unsigned workers);

    // Feeds `len` bytes at `data` to the slot's digest, now or on a worker. The bytes must stay
    // unchanged until wait(slot) or stop() has returned. REQUIRES: the slot has no job pending.
    void submit(uint64_t slot, const uint8_t* data, uint64_t len);

    // Runs task(context, data, len) in TASK_SLOT, now or on a worker, under submit()'s rules.
    void submit_task(task_function task, void* context, const uint8_t* data, uint64_t len);

    // Returns once the slot's job (if any) is done; a job no worker has taken yet is done here,
    // and while a worker runs it, other queued jobs are.
    void wait(uint64_t slot);

    // Finishes every job and ends the workers. Does nothing when not started.
    void stop();

    // The workers worth starting on this machine for `streams` digests: one fewer than the
    // processors this process may run on, since the block loop keeps one busy.
    static unsigned workers_for(uint64_t streams);

  private:
    enum : uint8_t { IDLE, QUEUED, RUNNING };
    struct job {
        const uint8_t* data;
        uint64_t len;
        task_function task;  // null: the slot's digest
        void* context;
    };

    static void* work_thread(void* pool);
    void work();
    uint64_t dequeue(uint64_t k);  // REQUIRES: mutex_ held
    bool take(uint64_t* slot);     // REQUIRES: mutex_ held
    void run(uint64_t slot);
    void queue(uint64_t slot, const job& j);

    G_CRYPT* crypt_ = nullptr;
    std::mutex mutex_;
    std::condition_variable queued_;  // a job was queued, or the workers are to stop
    std::condition_variable done_;    // a job finished
    job jobs_[TASK_SLOT + 1];
    uint8_t state_[TASK_SLOT + 1] = {};
    uint64_t queue_[TASK_SLOT + 1];  // queued slots, oldest first
    uint64_t queued_count_ = 0;
    pthread_t threads_[MAX_WORKERS];
    unsigned thread_count_ = 0;
    bool stopping_ = false;
};
