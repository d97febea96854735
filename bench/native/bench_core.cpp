// Times parvex's C++ core alone on the workload files that bench/run.py
// writes, beside libgcrypt's S-expression scanner and printer as the native
// reference, and prints the ratios of the one run. Results are destroyed
// after the clock stops, for both libraries alike.
#include <gcrypt.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cpu/features.hpp"
#include "decode/parser.hpp"
#include "encode/advanced.hpp"
#include "encode/canonical.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string dir;
    std::string tsv;   // where to write the machine-readable rows, if anywhere
    std::string only;  // when set, time only the operations whose names hold it
    std::string path;  // when set, the richest vector path the core may take
    bool keep_heap = false;
    int repeat = 15;
    double budget_s = 2.0;
};

// MARK: timing

/// One timed call of a row: `make()`, whose result is destroyed after the
/// clock stops.
template <class Make>
double time_once(Make& make) {
    const auto t0 = Clock::now();
    auto result = make();
    // Keeps the compiler from dropping work whose result goes unused.
    asm volatile("" : : "g"(&result) : "memory");
    const auto t1 = Clock::now();
    return std::chrono::duration<double, std::nano>(t1 - t0).count();
}

double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

// MARK: libgcrypt

/// An owned libgcrypt S-expression.
class GcrySexp {
public:
    GcrySexp() = default;
    explicit GcrySexp(gcry_sexp_t s) : s_(s) {}
    GcrySexp(GcrySexp&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    GcrySexp& operator=(GcrySexp&& o) noexcept {
        std::swap(s_, o.s_);
        return *this;
    }
    ~GcrySexp() { gcry_sexp_release(s_); }
    gcry_sexp_t get() const { return s_; }

private:
    gcry_sexp_t s_ = nullptr;
};

struct Scanned {
    GcrySexp sexp;
    std::string error;  // empty on success
};

Scanned gcry_scan(const std::string& text) {
    gcry_sexp_t s = nullptr;
    std::size_t erroff = 0;
    const gcry_error_t err = gcry_sexp_sscan(&s, &erroff, text.data(), text.size());
    if (err) return {GcrySexp(), std::string(gcry_strerror(err)) + " at offset " + std::to_string(erroff)};
    return {GcrySexp(s), {}};
}

/// Printed text; both passes, sizing and writing, are part of the work, as
/// they are in parvex's writers.
struct Printed {
    std::unique_ptr<char[]> text;
    std::size_t len = 0;
};

Printed gcry_print(gcry_sexp_t s, int mode) {
    const std::size_t n = gcry_sexp_sprint(s, mode, nullptr, 0);
    Printed p{std::make_unique_for_overwrite<char[]>(n), 0};
    p.len = gcry_sexp_sprint(s, mode, p.text.get(), n);
    return p;
}

/// Runs `work` once in a child process: libgcrypt aborts on some inputs
/// and recurses on others, and must not take the harness with it. Empty
/// when the child finished; otherwise what became of it.
template <class Work>
std::string survives(Work work, unsigned seconds) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stderr);
        alarm(seconds);
        work();
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return "could not fork a probe";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        return "libgcrypt did not finish within " + std::to_string(seconds) + " s";
    if (WIFSIGNALED(status)) return std::string("libgcrypt died of ") + strsignal(WTERMSIG(status));
    return "libgcrypt's probe exited with status " + std::to_string(WEXITSTATUS(status));
}

constexpr unsigned kProbeSeconds = 60;
constexpr int kPasses = 3;

// MARK: rows

struct Row {
    std::string workload;
    std::string operation;
    double median_ns = 0;  // 0 with `why_not` set when the row could not run
    std::uint64_t octets = 0;
    int samples = 0;
    std::string why_not;
    std::string compared_with;  // the operation this row's time is divided by
};

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::exit(2);
    }
    return std::string(std::istreambuf_iterator<char>(f), {});
}

parvex::Bytes bytes(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

const Row* find(const std::vector<Row>& rows, const std::string& workload, const std::string& operation) {
    for (const Row& r : rows)
        if (r.workload == workload && r.operation == operation) return &r;
    return nullptr;
}

std::vector<std::string> notes;  // printed after the table

/// The advanced text of `v` with every atom (and hint) in hexadecimal, in
/// lines of 64 digits, as a writer that wraps its lines gives it; empty
/// where the atoms average fewer than 64 octets, which no line break
/// would split.
std::string hex_lines(const parvex::Sexp& v) {
    struct Lines {
        std::string text;
        std::uint64_t atoms = 0, octets = 0;
        void open() { text += '('; }
        void close() {
            if (text.back() == ' ') text.pop_back();
            text += ") ";
        }
        void hex(parvex::Bytes b) {
            static constexpr char digits[] = "0123456789abcdef";
            text += '#';
            for (std::size_t i = 0; i < b.size(); ++i) {
                if (i != 0 && i % 32 == 0) text += '\n';
                text += digits[b[i] >> 4];
                text += digits[b[i] & 15];
            }
            text += '#';
            ++atoms;
            octets += b.size();
        }
        void atom(parvex::Bytes d) {
            hex(d);
            text += ' ';
        }
        void atom(parvex::Bytes d, parvex::Bytes h) {
            text += '[';
            hex(h);
            text += ']';
            atom(d);
        }
    } lines;
    parvex::encode::walk(v, lines);
    if (lines.atoms == 0 || lines.octets / lines.atoms < 64) return {};
    lines.text.pop_back();
    return lines.text;
}

void bench_workload(const std::string& name, std::uint64_t max_depth, const Options& o, std::vector<Row>& rows) {
    const std::string canonical = read_file(o.dir + "/" + name + ".canonical");
    const std::string advanced = read_file(o.dir + "/" + name + ".advanced");

    parvex::Parser canonical_parser = parvex::Parser::canonical();
    canonical_parser.max_depth = max_depth;
    parvex::Parser any_parser = parvex::Parser::defaults();
    any_parser.max_depth = max_depth;
    const bool default_depth = max_depth == parvex::kDefaultMaxDepth;

    // As in the Python suite: each row runs in blocks of consecutive calls,
    // the first untimed, so that it is timed in its own steady state and
    // not in the memory another row left; the blocks come in passes over
    // the rows, so that load from elsewhere falls on all rows alike. A row
    // stops at `repeat` samples, or once it has five and has spent the
    // budget, or three and five times the budget.
    const std::size_t first = rows.size();
    std::vector<std::function<double()>> timers;
    auto add = [&](std::string op, std::uint64_t octets, std::string why_not, std::string compared_with, auto make) {
        Row r{name, std::move(op), 0, octets, 0, std::move(why_not), std::move(compared_with)};
        if (!o.only.empty() && r.operation.find(o.only) == std::string::npos) return;
        timers.push_back(r.why_not.empty() ? std::function<double()>([make]() mutable { return time_once(make); })
                                           : std::function<double()>());
        rows.push_back(std::move(r));
    };

    // parvex: the free functions where the default depth limit serves,
    // otherwise the same presets with `max_depth` raised.
    auto parse_canonical = [&] {
        return default_depth ? parvex::parse_canonical(bytes(canonical)) : canonical_parser.parse(bytes(canonical));
    };
    auto parse_advanced = [&] {
        return default_depth ? parvex::parse(bytes(advanced)) : any_parser.parse(bytes(advanced));
    };
    auto value = parse_canonical();
    std::string lines;  // the hexadecimal text in lines, where it is timed
    const std::string why_canonical = value ? "" : parvex::describe(value.error());
    std::string why_advanced;
    if (auto r = parse_advanced(); !r) why_advanced = parvex::describe(r.error());
    add("core parse_canonical", canonical.size(), why_canonical, "gcry_sexp_sscan (canonical)", parse_canonical);
    add("core parse (advanced)", advanced.size(), why_advanced, "gcry_sexp_sscan (advanced)", parse_advanced);
    if (value) {
        const parvex::Sexp& v = *value;
        const parvex::Octets once = parvex::encode::canonical::to_vec(v);
        if (once.size() != canonical.size() || std::memcmp(once.data(), canonical.data(), once.size()) != 0)
            notes.push_back(name + ": the core's canonical output differs from the file");
        add("core to_canonical", once.size(), "", "gcry_sexp_sprint (canonical)",
            [&value] { return parvex::encode::canonical::to_vec(*value); });
        // Hexadecimal broken into lines, the slower case of its reader.
        lines = hex_lines(v);
        if (!lines.empty()) {
            const bool same = [&] {
                auto r = any_parser.parse(bytes(lines));
                return r && *r == v;
            }();
            add("core parse (hex lines of 64)", lines.size(), same ? "" : "the text does not read back", "",
                [&] { return any_parser.parse(bytes(lines)); });
        }
        const std::size_t adv_len = parvex::encode::advanced::to_string(v).size();
        add("core to_advanced", adv_len, "", "gcry_sexp_sprint (advanced)",
            [&value] { return parvex::encode::advanced::to_string(*value); });
    } else {
        add("core to_canonical", 0, "nothing read to write", "", [] { return 0; });
        add("core to_advanced", 0, "nothing read to write", "", [] { return 0; });
    }

    // libgcrypt reads both representations with the same scanner. Each
    // operation is first tried in a probe process.
    auto scan_why = [&](const std::string& text) {
        std::string why = survives([&] { (void)gcry_scan(text); }, kProbeSeconds);
        return why.empty() ? gcry_scan(text).error : why;
    };
    const std::string why_scan = scan_why(canonical);
    add("gcry_sexp_sscan (canonical)", canonical.size(), why_scan, "", [&] { return gcry_scan(canonical); });
    add("gcry_sexp_sscan (advanced)", advanced.size(), scan_why(advanced), "", [&] { return gcry_scan(advanced); });
    Scanned g = why_scan.empty() ? gcry_scan(canonical) : Scanned{};
    for (const auto& [op, mode] : {std::pair{"gcry_sexp_sprint (canonical)", GCRYSEXP_FMT_CANON},
                                   std::pair{"gcry_sexp_sprint (advanced)", GCRYSEXP_FMT_ADVANCED}}) {
        if (!why_scan.empty()) {
            add(op, 0, "libgcrypt read nothing to print", "", [] { return 0; });
            continue;
        }
        // The advanced format indents each level on a line of its own, so
        // its size grows with the square of the depth: measured first.
        std::string why =
            survives([&] { _exit(gcry_sexp_sprint(g.sexp.get(), mode, nullptr, 0) > (std::size_t{1} << 30) ? 3 : 0); },
                     kProbeSeconds);
        if (why.find("status 3") != std::string::npos) why = "libgcrypt would print more than 1 GiB";
        if (why.empty()) why = survives([&] { (void)gcry_print(g.sexp.get(), mode); }, kProbeSeconds);
        std::size_t len = 0;
        if (why.empty()) {
            const Printed once = gcry_print(g.sexp.get(), mode);
            len = once.len;
            if (mode == GCRYSEXP_FMT_CANON &&
                (len != canonical.size() || std::memcmp(once.text.get(), canonical.data(), len) != 0))
                notes.push_back(name + ": libgcrypt's canonical output differs from its input");
        }
        add(op, len, why, "", [&g, mode] { return gcry_print(g.sexp.get(), mode); });
    }

    std::vector<std::vector<double>> samples(timers.size());
    auto done = [&](const std::vector<double>& s) {
        double spent = 0;
        for (double x : s) spent += x;
        return static_cast<int>(s.size()) >= std::max(1, o.repeat) || (s.size() >= 5 && spent > o.budget_s * 1e9) ||
               (s.size() >= 3 && spent > 5 * o.budget_s * 1e9);
    };
    const int per_block = (std::max(1, o.repeat) + kPasses - 1) / kPasses;
    for (int pass = 0; pass < kPasses; ++pass)
        for (std::size_t i = 0; i < timers.size(); ++i) {
            if (!timers[i] || done(samples[i])) continue;
            (void)timers[i]();  // the block's untimed first call
            for (int k = 0; k < per_block && !done(samples[i]); ++k) samples[i].push_back(timers[i]());
        }
    for (std::size_t i = 0; i < timers.size(); ++i) {
        if (!timers[i]) continue;
        rows[first + i].median_ns = median(samples[i]);
        rows[first + i].samples = static_cast<int>(samples[i].size());
    }
}

// MARK: output

void print_table(const std::vector<Row>& rows) {
    std::printf("%-9s %-30s %11s %9s %3s  %s\n", "workload", "operation", "median ms", "MB/s", "n",
                "ratio (core / libgcrypt)");
    std::string last;
    for (const Row& r : rows) {
        if (r.workload != last && !last.empty()) std::printf("\n");
        last = r.workload;
        if (!r.why_not.empty()) {
            std::printf("%-9s %-30s %11s %9s %3s  n/a: %s\n", r.workload.c_str(), r.operation.c_str(), "-", "-", "-",
                        r.why_not.c_str());
            continue;
        }
        std::string ratio;
        if (const Row* ref = r.compared_with.empty() ? nullptr : find(rows, r.workload, r.compared_with)) {
            char buf[128];
            if (ref->why_not.empty())
                std::snprintf(buf, sizeof buf, "%.2fx %s", r.median_ns / ref->median_ns, ref->operation.c_str());
            else std::snprintf(buf, sizeof buf, "- (%s n/a)", ref->operation.c_str());
            ratio = buf;
        }
        const double mb_s = r.median_ns > 0 ? r.octets / r.median_ns * 1e3 : 0;
        std::printf("%-9s %-30s %11.3f %9.1f %3d  %s\n", r.workload.c_str(), r.operation.c_str(), r.median_ns / 1e6,
                    mb_s, r.samples, ratio.c_str());
    }
}

void write_tsv(const std::vector<Row>& rows, const std::string& path) {
    std::ofstream f(path);
    f << "workload\toperation\tmedian_ns\toctets\tsamples\twhy_not\n";
    for (const Row& r : rows)
        f << r.workload << '\t' << r.operation << '\t' << static_cast<std::uint64_t>(r.median_ns) << '\t' << r.octets
          << '\t' << r.samples << '\t' << r.why_not << '\n';
}

Options parse_args(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--repeat") o.repeat = std::atoi(next().c_str());
        else if (a == "--budget") o.budget_s = std::atof(next().c_str());
        else if (a == "--tsv") o.tsv = next();
        else if (a == "--only") o.only = next();
        else if (a == "--path") o.path = next();
        else if (a == "--keep-heap") o.keep_heap = true;
        else if (o.dir.empty() && a[0] != '-') o.dir = a;
        else {
            std::fprintf(stderr,
                         "usage: %s DATA_DIR [--repeat N] [--budget SECONDS] [--tsv FILE] [--only TEXT] [--path "
                         "avx512|avx2|portable] [--keep-heap]\n",
                         argv[0]);
            std::exit(2);
        }
    }
    if (o.dir.empty()) {
        std::fprintf(stderr,
                     "usage: %s DATA_DIR [--repeat N] [--budget SECONDS] [--tsv FILE] [--only TEXT] [--path "
                     "avx512|avx2|portable] [--keep-heap]\n",
                     argv[0]);
        std::exit(2);
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse_args(argc, argv);
    if (!gcry_check_version(GCRYPT_VERSION)) {
        std::fprintf(stderr, "libgcrypt is older than the headers (%s)\n", GCRYPT_VERSION);
        return 2;
    }
    // By default the C library returns freed memory to the system, so that
    // a parse that follows the release of a large value pays page faults to
    // grow the heap again; --keep-heap measures the steady state instead.
    if (o.keep_heap) {
        mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
        mallopt(M_MMAP_THRESHOLD, std::numeric_limits<int>::max());
    }
    // A processor without AVX-512, or without any vector extension, as
    // PARVEX_PORTABLE gives the latter to the Python module.
    if (!o.path.empty()) {
        using parvex::cpu::Features;
        const Features allowed = o.path == "avx512"     ? Features{true, true, true, true}
                                 : o.path == "avx2"     ? Features{true, true, false, false}
                                 : o.path == "portable" ? parvex::cpu::kPortable
                                                        : (std::fprintf(stderr, "unknown path %s\n", o.path.c_str()),
                                                           std::exit(2), Features{});
        parvex::cpu::restrict_to(allowed);
        const Features f = parvex::cpu::active();
        std::printf("vector paths allowed: %s (in force: %s)\n", o.path.c_str(),
                    f.avx512vbmi ? "avx512"
                    : f.avx2     ? "avx2"
                    : f.sse2     ? "sse2"
                                 : "portable");
    }
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    std::printf("libgcrypt %s; %d timed calls a row at most, in %d blocks, medians; %s\n\n",
                gcry_check_version(nullptr), o.repeat, kPasses,
                o.keep_heap ? "freed memory kept by the C library (--keep-heap)"
                            : "the C library's default trimming of freed memory");

    // The manifest lists each workload with the depth limit it needs.
    std::istringstream manifest(read_file(o.dir + "/manifest.tsv"));
    std::vector<Row> rows;
    std::string name;
    std::uint64_t max_depth = 0;
    while (manifest >> name >> max_depth) bench_workload(name, max_depth, o, rows);
    print_table(rows);
    for (const std::string& n : notes) std::printf("note: %s\n", n.c_str());
    if (!o.tsv.empty()) write_tsv(rows, o.tsv);
    return 0;
}
