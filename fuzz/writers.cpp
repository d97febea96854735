// The three writers and encoded_len on values built from the input by a
// small program, among them chains of lists hundreds of thousands of levels
// deep. Everything runs on a thread with a 512 KiB stack: any walk that
// recursed per level (writing, comparing, reading back, releasing) would
// overflow it long before the deepest chain.
#include <pthread.h>

#include <atomic>
#include <vector>

#include "common.hpp"

namespace {

using parvex::Atom;
using parvex::Octets;
using parvex::Sexp;

// How many programs built a chain of 300000 levels, told at exit.
std::atomic<unsigned> deepest{0};

// Reads the program: one octet per step, its low three bits the operation.
//   0 open a list            1 close the innermost list
//   2 atom, length and octets from the input
//   3 hinted atom, hint then data as in 2
//   4 atom with a present, empty hint, data as in 2
//   5 chain: the last element, or an empty list, inside n + 1 lists, n the
//     next octet; the first chain of a program with n from 250 to 254 is
//     (n - 249) * 1000 lists deep instead, and with n = 255 300000 deep
//   6 atom of n copies of the octet o, n and o the next two octets
//   7 n empty atoms, n the next octet
class Program {
public:
    Program(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    Sexp build() {
        std::vector<std::vector<Sexp>> open(1);
        while (p_ < end_) {
            const std::uint8_t op = *p_++ & 7;
            std::vector<Sexp>& top = open.back();
            switch (op) {
                case 0:
                    open.emplace_back();
                    break;
                case 1:
                    if (open.size() > 1) {
                        Sexp done(Sexp::List(std::move(open.back())));
                        open.pop_back();
                        open.back().push_back(std::move(done));
                    }
                    break;
                case 2:
                    top.push_back(Sexp(Atom{octets(), std::nullopt}));
                    break;
                case 3: {
                    Octets hint = octets();
                    top.push_back(Sexp(Atom{octets(), std::move(hint)}));
                    break;
                }
                case 4:
                    top.push_back(Sexp(Atom{octets(), Octets{}}));
                    break;
                case 5: {
                    Sexp v = top.empty() ? Sexp(Sexp::List{}) : take_last(top);
                    const std::size_t n = next();
                    std::size_t levels = std::min<std::size_t>(n, 249) + 1;
                    if (n >= 250 && !deep_) {
                        levels = n == 255 ? 300000 : (n - 249) * 1000;
                        deep_ = true;
                        if (n == 255) ++deepest;
                    }
                    for (std::size_t i = 0; i < levels; ++i) {
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
                    for (std::size_t n = next(); n > 0; --n) top.push_back(Sexp(Atom{}));
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
    bool deep_ = false;  // only one chain that deep per program, for speed
};

struct Job {
    const std::uint8_t* data;
    std::size_t size;
};

void* run(void* arg) {
    const Job& job = *static_cast<const Job*>(arg);
    const Sexp v = Program(job.data, job.size).build();
    fuzz::check_written(v, parvex::kNoLimit);
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit([] { std::fprintf(stderr, "values 300000 levels deep: %u\n", deepest.load()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Job job{data, size};
    pthread_attr_t attr;
    FUZZ_CHECK(pthread_attr_init(&attr) == 0);
    FUZZ_CHECK(pthread_attr_setstacksize(&attr, 512 * 1024) == 0);
    pthread_t thread;
    FUZZ_CHECK(pthread_create(&thread, &attr, run, &job) == 0);
    FUZZ_CHECK(pthread_join(thread, nullptr) == 0);
    pthread_attr_destroy(&attr);
    return 0;
}
