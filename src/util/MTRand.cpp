#include "util/MTRand.h"

#include <cmath>
#include <cstring>
#include <fstream>

namespace {

const uint32_t MATRIX_A = 0x9908b0dfU;
const uint32_t UPPER_MASK = 0x80000000U;
const uint32_t LOWER_MASK = 0x7fffffffU;

inline uint32_t twist(uint32_t upper, uint32_t lower, uint32_t far) {
    uint32_t y = (upper & UPPER_MASK) | (lower & LOWER_MASK);
    return far ^ (y >> 1) ^ ((lower & 1U) ? MATRIX_A : 0U);
}

// Folds the object representation of a value, least significant byte first
// on this little-endian platform, into 32 bits.
template <typename T>
uint32_t foldBytes(T value) {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    uint32_t h = 0;
    for (unsigned char b : bytes) h = h * 257U + b;
    return h;
}

}  // namespace

MTRand::MTRand() : left(0), next(0) { seed(); }

MTRand::MTRand(uint32_t s) : left(0), next(0) { seed(s); }

void MTRand::seed() {
    if (seedFromDevice()) return;
    seed(hash(std::time(nullptr), std::clock()));
}

bool MTRand::seedFromDevice() {
    std::ifstream device("/dev/urandom", std::ios::binary);
    if (!device) return false;
    uint64_t words[N];
    if (!device.read(reinterpret_cast<char*>(words), sizeof(words))) return false;
    uint32_t key[N];
    for (int i = 0; i < N; ++i) key[i] = static_cast<uint32_t>(words[i] & 0xffffffffU);
    seed(key, N);
    return true;
}

void MTRand::seed(uint32_t s) {
    initialize(s);
    reload();
}

void MTRand::seed(const uint32_t* key, int keyLength) {
    initialize(19650218U);
    if (keyLength < 1) {
        reload();
        return;
    }
    int i = 1;
    int j = 0;
    for (int k = (N > keyLength ? N : keyLength); k > 0; --k) {
        uint32_t prev = state[i - 1];
        state[i] = (state[i] ^ ((prev ^ (prev >> 30)) * 1664525U)) + key[j] + static_cast<uint32_t>(j);
        ++i;
        ++j;
        if (i >= N) {
            state[0] = state[N - 1];
            i = 1;
        }
        if (j >= keyLength) j = 0;
    }
    for (int k = N - 1; k > 0; --k) {
        uint32_t prev = state[i - 1];
        state[i] = (state[i] ^ ((prev ^ (prev >> 30)) * 1566083941U)) - static_cast<uint32_t>(i);
        ++i;
        if (i >= N) {
            state[0] = state[N - 1];
            i = 1;
        }
    }
    state[0] = 0x80000000U;  // guarantees a non-zero state
    reload();
}

void MTRand::initialize(uint32_t s) {
    state[0] = s;
    for (int i = 1; i < N; ++i) {
        uint32_t prev = state[i - 1];
        state[i] = 1812433253U * (prev ^ (prev >> 30)) + static_cast<uint32_t>(i);
    }
}

void MTRand::reload() {
    int i = 0;
    for (; i < N - M; ++i) state[i] = twist(state[i], state[i + 1], state[i + M]);
    for (; i < N - 1; ++i) state[i] = twist(state[i], state[i + 1], state[i + M - N]);
    state[N - 1] = twist(state[N - 1], state[0], state[M - 1]);
    left = N;
    next = 0;
}

uint32_t MTRand::randInt() {
    if (left == 0) reload();
    --left;
    uint32_t y = state[next++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680U;
    y ^= (y << 15) & 0xefc60000U;
    return y ^ (y >> 18);
}

double MTRand::rand() { return static_cast<double>(randInt()) * (1.0 / 4294967295.0); }

double MTRand::randNorm(double mean, double stddev) {
    double x;
    double y;
    double r;
    do {
        x = 2.0 * rand() - 1.0;
        y = 2.0 * rand() - 1.0;
        r = x * x + y * y;
    } while (r >= 1.0 || r == 0.0);
    return mean + x * std::sqrt(-2.0 * std::log(r) / r) * stddev;
}

uint32_t MTRand::hash(time_t t, clock_t c) {
    static uint32_t counter = 0;
    uint32_t a = foldBytes(t);
    uint32_t b = foldBytes(c);
    return (a + counter++) ^ b;
}
