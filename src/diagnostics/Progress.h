#ifndef TESSALY_PROGRESS_H
#define TESSALY_PROGRESS_H

#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <memory>
#include <streambuf>
#include <string>

#include "diagnostics/Diagnostics.h"

// Counts the work of one analysis ("done k of n") and now and then turns it
// into the progress line. advance() is an increment and a compare: the clock
// is read only every so many units, so a step of an integration loop costs no
// system call; with the progress line off the clock is never read.
class ProgressMeter {
public:
    // The text before the common tail of times, from the units done and the
    // units in all.
    using Describe = std::function<std::string(long long done, long long total)>;
    // Seconds before the first line is shown, and between two lines.
    struct Pace {
        double firstAfter;
        double every;
    };
    static const Pace kAnalysis;
    static const Pace kPowerFlow;

    ProgressMeter() = default;
    ~ProgressMeter();
    ProgressMeter(const ProgressMeter&) = delete;
    ProgressMeter& operator=(const ProgressMeter&) = delete;

    // Starts counting `total` units; a meter that is counting ends first.
    void begin(long long total, Describe describe, Pace pace);
    void advance() {
        if (++done >= nextPoll) poll();
    }
    // Sets the count to `units` done, for work that other threads count (see
    // StepCounter), and draws the line when it is due.
    void advanceTo(long long units) {
        done = units;
        if (done >= nextPoll) poll();
    }
    // Stops counting and clears a line this meter showed.
    void end();

    long long unitsDone() const { return done; }

private:
    using Clock = std::chrono::steady_clock;

    void poll();
    void draw(Clock::time_point now);

    Describe describe;
    Pace pace{0, 0};
    long long done = 0;
    long long total = 0;
    long long nextPoll = LLONG_MAX;
    long long stride = 1;
    bool shown = false;
    Clock::time_point started;
    Clock::time_point nextDraw;
};

// Counts one worker's integration steps into a total that several workers
// share, in batches: a step costs an increment and a compare, the shared
// counter is touched every kBatch steps. The meter, when there is one, is
// drawn from the total at every batch: the worker then is the thread that
// draws (one integrating on the main thread); otherwise the main thread
// draws from total() while it waits for the workers.
class StepCounter {
public:
    StepCounter(std::atomic<long long>& total, ProgressMeter* meter = nullptr) : shared(&total), meter(meter) {}
    ~StepCounter() { flush(); }
    StepCounter(const StepCounter&) = delete;
    StepCounter& operator=(const StepCounter&) = delete;

    void advance() {
        if (++pending == kBatch) flush();
    }
    void flush() {
        if (pending == 0) return;
        const long long now = shared->fetch_add(pending, std::memory_order_relaxed) + pending;
        pending = 0;
        if (meter != nullptr) meter->advanceTo(now);
    }

private:
    static const long long kBatch = 256;
    std::atomic<long long>* shared;
    ProgressMeter* meter;
    long long pending = 0;
};

// The progress line of a run, on or off for the lifetime of the object. On,
// console text on standard output clears the line before it goes out, and
// passes on unchanged.
class ProgressDisplay {
public:
    explicit ProgressDisplay(bool on);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

private:
    class ConsoleBuffer;
    std::unique_ptr<ConsoleBuffer> buffer;
    std::streambuf* previous = nullptr;
};

// "0:07", "12:34", "1:02:03".
std::string formatDuration(double seconds);

#endif
