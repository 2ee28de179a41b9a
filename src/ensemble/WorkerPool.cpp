#include "ensemble/WorkerPool.h"

#include <utility>

WorkerPool::WorkerPool(int threads) {
    const int count = threads < 1 ? 1 : threads;
    workers.reserve(static_cast<std::size_t>(count));
    for (int w = 0; w < count; ++w) workers.emplace_back([this, w] { work(w); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        notFinished -= queue.size();
        queue.clear();
    }
    taskReady.notify_all();
    for (std::thread& worker : workers) worker.join();
}

void WorkerPool::submit(Task task) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        // After a failure nothing more runs; waitUntilAtMost reports it.
        if (failure) return;
        queue.push_back(std::move(task));
        ++notFinished;
    }
    taskReady.notify_one();
}

std::size_t WorkerPool::unfinished() {
    std::lock_guard<std::mutex> lock(mutex);
    return notFinished;
}

std::size_t WorkerPool::waitUntilAtMost(std::size_t unfinished, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    taskDone.wait_for(lock, timeout, [&] { return notFinished <= unfinished || failure; });
    if (failure) {
        const std::exception_ptr first = failure;
        lock.unlock();
        std::rethrow_exception(first);
    }
    return notFinished;
}

void WorkerPool::work(int worker) {
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> lock(mutex);
            taskReady.wait(lock, [&] { return stopping || !queue.empty(); });
            if (queue.empty()) return;
            task = std::move(queue.front());
            queue.pop_front();
        }
        std::exception_ptr thrown;
        try {
            task(worker);
        } catch (...) {
            thrown = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            --notFinished;
            if (thrown && !failure) {
                failure = thrown;
                notFinished -= queue.size();
                queue.clear();
            }
        }
        taskDone.notify_all();
    }
}
