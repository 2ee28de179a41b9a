#include "diagnostics/Progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>

namespace {

// Clock readings aim this many seconds apart, at the rate counted so far.
const double kPollInterval = 0.05;
const long long kMaxStride = 1LL << 30;

double secondsBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

// ---- the meter -------------------------------------------------------------------

const ProgressMeter::Pace ProgressMeter::kAnalysis{0.0, 0.25};
// A power flow is shown only when it takes long.
const ProgressMeter::Pace ProgressMeter::kPowerFlow{1.0, 1.0};

ProgressMeter::~ProgressMeter() { end(); }

void ProgressMeter::begin(long long units, Describe text, Pace timing) {
    end();
    describe = std::move(text);
    pace = timing;
    done = 0;
    total = units;
    if (!ProgressLine::enabled()) return;
    started = Clock::now();
    nextDraw = started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(pace.firstAfter));
    stride = 1;
    nextPoll = 1;
    if (pace.firstAfter <= 0) draw(started);
}

void ProgressMeter::end() {
    if (shown) ProgressLine::clear();
    shown = false;
    nextPoll = LLONG_MAX;
    describe = nullptr;
}

void ProgressMeter::poll() {
    const Clock::time_point now = Clock::now();
    if (now >= nextDraw) draw(now);
    const double elapsed = secondsBetween(started, now);
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    stride = rate > 0 ? std::clamp(static_cast<long long>(rate * kPollInterval), 1LL, kMaxStride)
                      : std::min(stride * 2, kMaxStride);
    nextPoll = done + stride;
}

void ProgressMeter::draw(Clock::time_point now) {
    const double elapsed = secondsBetween(started, now);
    std::string text = describe(done, total) + ", " + formatDuration(elapsed) + " elapsed";
    if (done > 0 && total > done) {
        text += ", ETA " + formatDuration(elapsed * static_cast<double>(total - done) / static_cast<double>(done));
    }
    ProgressLine::show(text);
    shown = true;
    nextDraw = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(pace.every));
}

// ---- console text ------------------------------------------------------------------

class ProgressDisplay::ConsoleBuffer : public std::streambuf {
public:
    explicit ConsoleBuffer(std::streambuf* target) : target(target) {}

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        ProgressLine::clear();
        return target->sputc(traits_type::to_char_type(c));
    }
    std::streamsize xsputn(const char* text, std::streamsize n) override {
        ProgressLine::clear();
        return target->sputn(text, n);
    }
    int sync() override { return target->pubsync(); }

private:
    std::streambuf* target;
};

ProgressDisplay::ProgressDisplay(bool on) {
    ProgressLine::enable(on);
    if (!on) return;
    buffer = std::make_unique<ConsoleBuffer>(std::cout.rdbuf());
    previous = std::cout.rdbuf(buffer.get());
}

ProgressDisplay::~ProgressDisplay() {
    ProgressLine::enable(false);
    if (!buffer) return;
    std::cout.flush();
    std::cout.rdbuf(previous);
}

std::string formatDuration(double seconds) {
    if (!(seconds >= 0) || seconds > 1e9) return "?";
    const long long whole = std::llround(seconds);
    const long long hours = whole / 3600;
    const long long minutes = whole / 60 % 60;
    const long long secs = whole % 60;
    char text[48];
    if (hours > 0) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, secs);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", minutes, secs);
    }
    return text;
}
