#include "run/digest_pool.h"

#include <sched.h>

void digest_pool::start(G_CRYPT* crypt, unsigned workers) {
    crypt_ = crypt;
    stopping_ = false;
    queued_count_ = 0;
    for (uint64_t s = 0; s <= TASK_SLOT; s++) state_[s] = IDLE;
    const unsigned wanted = workers < MAX_WORKERS ? workers : MAX_WORKERS;
    thread_count_ = 0;
    while (thread_count_ < wanted &&
           pthread_create(&threads_[thread_count_], nullptr, work_thread, this) == 0) {
        thread_count_++;
    }
}

void digest_pool::run(uint64_t slot) {
    const job& j = jobs_[slot];
    if (j.task) {
        j.task(j.context, j.data, j.len);
    } else {
        crypt_->hash_data(slot, j.data, j.len);
    }
}

// Hands the job to the workers, or runs it at once when there are none.
void digest_pool::queue(uint64_t slot, const job& j) {
    if (thread_count_ == 0) {
        jobs_[slot] = j;
        run(slot);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_[slot] = j;
        state_[slot] = QUEUED;
        queue_[queued_count_++] = slot;
    }
    queued_.notify_one();
}

void digest_pool::submit(uint64_t slot, const uint8_t* data, uint64_t len) {
    queue(slot, {data, len, nullptr, nullptr});
}

void digest_pool::submit_task(task_function task, void* context, const uint8_t* data, uint64_t len) {
    queue(TASK_SLOT, {data, len, task, context});
}

// Removes entry k of the queue and marks its slot running. The queue is short (one entry per
// stream at most), so removing by shifting costs little.
uint64_t digest_pool::dequeue(uint64_t k) {
    const uint64_t slot = queue_[k];
    for (; k + 1 < queued_count_; k++) queue_[k] = queue_[k + 1];
    queued_count_--;
    state_[slot] = RUNNING;
    return slot;
}

// Takes the oldest queued job.
bool digest_pool::take(uint64_t* slot) {
    if (queued_count_ == 0) return false;
    *slot = dequeue(0);
    return true;
}

void* digest_pool::work_thread(void* pool) {
    static_cast<digest_pool*>(pool)->work();
    return nullptr;
}

void digest_pool::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        uint64_t slot;
        if (!take(&slot)) {
            if (stopping_) return;
            queued_.wait(lock);
            continue;
        }
        lock.unlock();
        run(slot);
        lock.lock();
        state_[slot] = IDLE;
        done_.notify_all();
    }
}

void digest_pool::wait(uint64_t slot) {
    if (thread_count_ == 0) return;
    std::unique_lock<std::mutex> lock(mutex_);
    while (state_[slot] != IDLE) {
        uint64_t job = slot;
        if (state_[slot] == QUEUED) {
            // No worker has taken it: doing it here is quicker than waiting for one.
            uint64_t k = 0;
            while (queue_[k] != slot) k++;
            dequeue(k);
        } else if (!take(&job)) {
            done_.wait(lock);
            continue;
        }
        // While a worker finishes the slot, this thread hashes another stream instead of idling.
        lock.unlock();
        run(job);
        lock.lock();
        state_[job] = IDLE;
        done_.notify_all();
    }
}

void digest_pool::stop() {
    if (thread_count_ == 0) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    for (unsigned t = 0; t < thread_count_; t++) pthread_join(threads_[t], nullptr);
    thread_count_ = 0;
}

unsigned digest_pool::workers_for(uint64_t streams) {
    cpu_set_t set;
    const int cpus = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    uint64_t workers = cpus > 1 ? static_cast<uint64_t>(cpus - 1) : 0;
    if (workers > streams) workers = streams;
    return static_cast<unsigned>(workers < MAX_WORKERS ? workers : MAX_WORKERS);
}
