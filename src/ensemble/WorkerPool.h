#ifndef TESSALY_WORKERPOOL_H
#define TESSALY_WORKERPOOL_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Worker threads that take submitted tasks first come, first served. A task
// learns the number of the worker that runs it (0 .. threads - 1), so it can
// use what that worker owns (an integrator, scratch, a private grid). The
// thread that submits stays free: it waits for the tasks and draws the
// progress line meanwhile.
class WorkerPool {
public:
    using Task = std::function<void(int worker)>;

    explicit WorkerPool(int threads);
    // Discards the tasks no worker has started, then waits for the running ones.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int threads() const { return static_cast<int>(workers.size()); }
    // Discarded once a task has failed.
    void submit(Task task);
    // Submitted tasks not finished yet.
    std::size_t unfinished();
    // Waits until at most `unfinished` submitted tasks are not finished, or
    // `timeout` has passed; returns how many are not finished. Rethrows the
    // first exception a task ended with (later tasks are then discarded).
    std::size_t waitUntilAtMost(std::size_t unfinished, std::chrono::milliseconds timeout);

private:
    void work(int worker);

    std::vector<std::thread> workers;
    std::mutex mutex;
    std::condition_variable taskReady;
    std::condition_variable taskDone;
    std::deque<Task> queue;
    std::size_t notFinished = 0;
    bool stopping = false;
    std::exception_ptr failure;
};

#endif
