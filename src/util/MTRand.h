#ifndef TESSALY_MTRAND_H
#define TESSALY_MTRAND_H

#include <cstdint>
#include <ctime>

// Mersenne Twister MT19937: 624-word state, twist and tempering.
class MTRand {
public:
    static const int N = 624;
    static const int M = 397;

    // Seeds from /dev/urandom, falling back to a hash of time() and clock().
    MTRand();
    explicit MTRand(uint32_t s);

    void seed();
    void seed(uint32_t s);
    void seed(const uint32_t* key, int keyLength);
    void reload();

    uint32_t randInt();            // 32-bit tempered output
    double rand();                 // uniform in [0, 1]: output * (1 / 4294967295)
    double randNorm(double mean, double stddev);  // polar method

private:
    uint32_t state[N];
    int left;
    int next;

    void initialize(uint32_t s);
    bool seedFromDevice();
    static uint32_t hash(time_t t, clock_t c);
};

#endif
