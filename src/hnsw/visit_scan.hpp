// The inner loop of every graph walk: pick out the links not yet visited.
// Deduplicated link lists let a batch of links be tested and marked at once;
// a mask picks out the links of a higher layer (see graph_links.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarix {

// Whole words, so that a batch of marks is one scattering store.
using VisitStamp = std::uint32_t;

struct VisitScan {
    // Appends to `fresh` every id of links[0, count) whose stamp is not
    // `generation`, in list order, and stamps it. The ids must be distinct
    // and below 2^31. fresh must have room for count ids (slots past the
    // returned count may be overwritten). Returns how many were appended.
    std::size_t (*all)(const std::uint32_t* links, std::size_t count, VisitStamp* stamps, VisitStamp generation,
                       std::uint32_t* fresh);
    // The same over a list kept as two streams (see graph_links.hpp): link i
    // is the next of `high` when bit i of `selector` is set, else the next
    // of `low`. Both streams and the selector are read in whole vectors past
    // their ends (the arena's padding covers it), and fresh must have room
    // for count rounded up to 32.
    std::size_t (*merged)(const std::uint32_t* low, const std::uint32_t* high, const std::uint32_t* selector,
                          std::size_t count, VisitStamp* stamps, VisitStamp generation, std::uint32_t* fresh);
    const char* name;
};

// The fastest scan this CPU runs, chosen when the module loads.
const VisitScan& visit_scan();
// By name ("portable", "avx2", "avx512"); null when this CPU cannot run it.
const VisitScan* visit_scan_named(const char* name);

}  // namespace quarix
