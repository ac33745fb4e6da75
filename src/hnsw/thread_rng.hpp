// The per-thread generator behind level draws: seeded from the operating
// system's random source on first use and re-seeded after every 64 KiB of
// output, so levels are unpredictable across processes and threads.
#pragma once

#include <cstdint>

namespace quarix {

class ThreadRng {
public:
    // The calling thread's generator. Throws InternalFailure "could not
    // initialize ThreadRng: ..." when the random source fails.
    static ThreadRng& current();

    // Uniform in [0, 1) from the top 53 bits of one output.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    std::uint64_t next();

private:
    ThreadRng() { reseed(); }
    void reseed();

    std::uint64_t state_[4] = {};
    std::uint32_t outputs_until_reseed_ = 0;
};

}  // namespace quarix
