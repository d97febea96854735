// The three writers and encoded_len on values built from the input by a
// small program; each writer's text the same on the portable paths as on
// the vector paths the processor has. Everything runs on a thread with a
// 512 KiB stack: a walk
// that recursed per level (writing, comparing, reading back, releasing)
// would overflow it on the deeper values. Values hundreds of thousands of
// levels deep, which take seconds each, are the native checks' own
// (tests/native/core_test.cpp), so that the fuzzer's minute goes to shapes.
#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <tuple>
#include <vector>

#include "common.hpp"
#include "cpu/features.hpp"

namespace {

using parvex::Atom;
using parvex::Octets;
using parvex::Sexp;

// Reads the program: one octet per step, its low three bits the operation.
//   0 open a list            1 close the innermost list
//   2 atom, length and octets from the input
//   3 hinted atom, hint then data as in 2
//   4 atom with a present, empty hint, data as in 2
//   5 chain: the last element, or an empty list, inside n % 64 + 1 lists,
//     n the next octet
//   6 atom of n copies of the octet o, n and o the next two octets
//   7 n % 64 empty atoms, n the next octet
// Counts stay small so that an input takes well under a millisecond: deep
// values come from many chains, as wide ones from many steps.
class Program {
public:
    Program(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    Sexp build() {
        std::vector<std::vector<Sexp>> open(1);
        while (p_ < end_) {
            const std::uint8_t op = *p_++ & 7;
            std::vector<Sexp>& top = open.back();
            switch (op) {
                case 0: open.emplace_back(); break;
                case 1:
                    if (open.size() > 1) {
                        Sexp done(Sexp::List(std::move(open.back())));
                        open.pop_back();
                        open.back().push_back(std::move(done));
                    }
                    break;
                case 2: top.push_back(Sexp(Atom{octets(), std::nullopt})); break;
                case 3: {
                    Octets hint = octets();
                    top.push_back(Sexp(Atom{octets(), std::move(hint)}));
                    break;
                }
                case 4: top.push_back(Sexp(Atom{octets(), Octets{}})); break;
                case 5: {
                    Sexp v = top.empty() ? Sexp(Sexp::List{}) : take_last(top);
                    for (std::size_t levels = std::size_t{next()} % 64 + 1; levels > 0; --levels) {
                        std::vector<Sexp> one;
                        one.push_back(std::move(v));
                        v = Sexp(Sexp::List(std::move(one)));
                    }
                    top.push_back(std::move(v));
                    break;
                }
                case 6: {
                    const std::size_t n = next();
                    top.push_back(Sexp(Atom{Octets(n, next()), std::nullopt}));
                    break;
                }
                case 7:
                    for (std::size_t n = next() % 64; n > 0; --n) top.push_back(Sexp(Atom{}));
                    break;
            }
        }
        while (open.size() > 1) {
            Sexp done(Sexp::List(std::move(open.back())));
            open.pop_back();
            open.back().push_back(std::move(done));
        }
        std::vector<Sexp>& outer = open.back();
        if (outer.size() == 1) return take_last(outer);
        return Sexp(Sexp::List(std::move(outer)));
    }

private:
    std::uint8_t next() { return p_ < end_ ? *p_++ : 0; }
    Octets octets() {
        const std::size_t n = std::min<std::size_t>(next() % 64, static_cast<std::size_t>(end_ - p_));
        Octets o(p_, p_ + n);
        p_ += n;
        return o;
    }
    static Sexp take_last(std::vector<Sexp>& l) {
        Sexp v = std::move(l.back());
        l.pop_back();
        return v;
    }
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

/// The advanced and transport texts of `v` on the portable paths equal
/// those on the vector paths (the canonical writer has none of its own).
void check_paths(const Sexp& v) {
    namespace enc = parvex::encode;
    const auto texts = [&] { return std::tuple(enc::advanced::to_string(v), enc::transport::to_string(v)); };
    const auto vector = texts();
    const parvex::cpu::Features before = parvex::cpu::restrict_to(parvex::cpu::kPortable);
    const auto portable = texts();
    parvex::cpu::restrict_to(before);
    FUZZ_CHECK(portable == vector);
}

/// The thread with the small stack, started once and handed one input at a
/// time: a thread of its own for each input cost more than most checks.
class Worker {
public:
    Worker() {
        pthread_attr_t attr;
        FUZZ_CHECK(pthread_attr_init(&attr) == 0);
        FUZZ_CHECK(pthread_attr_setstacksize(&attr, 512 * 1024) == 0);
        pthread_t thread;
        FUZZ_CHECK(pthread_create(&thread, &attr, loop, this) == 0);
        pthread_attr_destroy(&attr);
    }
    void run(const std::uint8_t* data, std::size_t size) {
        std::unique_lock lock(mutex_);
        data_ = data;
        size_ = size;
        pending_ = true;
        changed_.notify_one();
        changed_.wait(lock, [this] { return !pending_; });
    }

private:
    static void* loop(void* self) {
        auto& w = *static_cast<Worker*>(self);
        std::unique_lock lock(w.mutex_);
        for (;;) {
            w.changed_.wait(lock, [&w] { return w.pending_; });
            {
                const Sexp v = Program(w.data_, w.size_).build();
                fuzz::check_written(v, parvex::kNoLimit);
                check_paths(v);
            }  // released within the input, where leaks are looked for
            w.pending_ = false;
            w.changed_.notify_one();
        }
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    bool pending_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Never destroyed: the worker waits on it until the process ends.
    static Worker& worker = *new Worker;
    worker.run(data, size);
    return 0;
}
