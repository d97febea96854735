// Memory kept from one call to the next: every cache of the library, what
// it keeps, for whom, up to how much, why, and the benchmark row
// (bench/run.py) that pays for it. Nothing else outlives a call; each user
// takes its bound from `policy(Slot)` here.
//
// Why keep anything: glibc hands a request of 128 KiB or more (a threshold
// that rises to the largest block given back, up to 32 MiB) to the kernel as
// a fresh mapping, and every 4 KiB page of that faults when first written;
// and a block given back lets glibc merge its free space and return it to
// the system. A read or write that takes its memory afresh each time pays a
// page fault per page, often more than the work itself. What is kept is
// bounded, so that one huge call does not pin its memory for the life of a
// process.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace parvex::kept {

// MARK: sizes, one name each

inline constexpr std::size_t kKiB = std::size_t{1} << 10;
inline constexpr std::size_t kMiB = std::size_t{1} << 20;
/// The unit in which the system maps memory, and faults it in.
inline constexpr std::size_t kSystemPage = 4 * kKiB;
/// The page a huge-page mapping faults in at once (x86-64, aarch64 Linux).
inline constexpr std::size_t kHugePage = 2 * kMiB;
/// Results from this size on are always fresh mappings (glibc's threshold
/// never rises past it): they are asked for in huge pages.
inline constexpr std::size_t kHugePagesFrom = 32 * kMiB;
/// A result of this size or more is large: its buffer is sized from the
/// last one of its writer (`Slot::LastCanonical` and the others).
inline constexpr std::size_t kLargeResult = 64 * kKiB;
/// A large result keeps a block at most this much longer than itself,
/// rather than be trimmed (which would make it the block glibc was last
/// given back, and so raise the threshold above the next result's buffer).
inline constexpr std::size_t kResultSlack = 8 * kKiB;

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

// MARK: the policies

enum class Scope : unsigned char {
    Thread,   // each thread keeps its own
    Process,  // one for all threads, under a lock
    Object,   // each object, for its life
};

/// Each thing kept between calls.
enum class Slot : unsigned char {
    ValueStack,     // the core reader's stack of values
    OpenLists,      // the reader's stack of open lists
    Slabs,          // emptied slabs for small lists' arrays
    LastCanonical,  // the size of the last large canonical result
    LastTransport,  // ... transport result
    LastAdvanced,   // ... advanced result
    DecoderBuffer,  // a Decoder's buffer, once empty
};

struct Policy {
    Slot slot;
    Scope scope;
    std::size_t up_to;  // octets kept at most (for a size remembered: one size)
    std::string_view why;
    std::string_view row;  // the benchmark row that would lose without it
};

inline constexpr std::array policies = {
    Policy{Slot::ValueStack, Scope::Thread, 8 * kMiB,
           "taken afresh for a large read, its pages faulted on every read (178 faults a read of records)",
           "core parse_canonical, records"},
    Policy{Slot::OpenLists, Scope::Thread, 4 * kMiB,
           "a request of a kilobyte or more makes glibc consolidate the small blocks the last read freed; "
           "200,000 levels take 4 MiB, copied at every doubling when taken afresh (a twentieth of the read)",
           "core parse_canonical, deep200k"},
    // None under AddressSanitizer, which then sees a use of a slab after
    // its last list has been released.
    Policy{Slot::Slabs, Scope::Process, kAddressSanitizer ? 0 : 16 * kMiB,
           "given back, adjacent slabs merge into free space glibc returns, and the next read faults every page",
           "core parse_canonical, deep200k (15 ms for 4)"},
    Policy{Slot::LastCanonical, Scope::Thread, sizeof(std::size_t),
           "a buffer grown by doubling past glibc's threshold is mapped afresh every call (470 to 800 faults)",
           "to_canonical, records, fresh process"},
    Policy{Slot::LastTransport, Scope::Thread, sizeof(std::size_t), "as LastCanonical",
           "to_transport, records, fresh process"},
    Policy{Slot::LastAdvanced, Scope::Thread, sizeof(std::size_t), "as LastCanonical",
           "to_advanced, records, fresh process"},
    Policy{Slot::DecoderBuffer, Scope::Object, 1 * kMiB,
           "a stream of small messages reuses one block instead of one a message; more is given back", "bench/feed.py"},
};

constexpr const Policy& policy(Slot s) {
    for (const Policy& p : policies)
        if (p.slot == s) return p;
    return policies[0];  // unreachable: every slot has its row (checked below)
}

constexpr bool every_slot_once() {
    for (std::size_t i = 0; i < policies.size(); ++i)
        if (static_cast<std::size_t>(policies[i].slot) != i) return false;
    return true;
}
static_assert(every_slot_once(), "each slot has one row, in the order of Slot");

}  // namespace parvex::kept
