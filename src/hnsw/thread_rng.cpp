#include "hnsw/thread_rng.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "errors/internal_failure.hpp"

namespace quarix {
namespace {

constexpr std::uint32_t kOutputsPerSeed = 64 * 1024 / sizeof(std::uint64_t);

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

ThreadRng& ThreadRng::current() {
    thread_local ThreadRng rng;
    return rng;
}

void ThreadRng::reseed() {
    unsigned char seed[sizeof state_];
    std::size_t filled = 0;
    while (filled < sizeof seed) {
        const ssize_t got = getrandom(seed + filled, sizeof seed - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            InternalFailure::raise(std::string("could not initialize ThreadRng: ") + std::strerror(errno));
        }
        filled += static_cast<std::size_t>(got);
    }
    std::memcpy(state_, seed, sizeof state_);
    if ((state_[0] | state_[1] | state_[2] | state_[3]) == 0) state_[0] = 1;  // the one invalid state
    outputs_until_reseed_ = kOutputsPerSeed;
}

// xoshiro256**: fast, 256 bits of state, passes the usual statistical batteries.
std::uint64_t ThreadRng::next() {
    if (outputs_until_reseed_ == 0) reseed();
    --outputs_until_reseed_;
    const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
}

}  // namespace quarix
