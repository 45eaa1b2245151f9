// Golden harness: every numeric function of the table over a fixed corpus
// made from a seed, each result written as bits and each failure as its kind
// and text, to one file. Two builds of the same source agree bit for bit
// exactly when their files are identical, so the file is compared across
// compilers and platforms; with --corpus the inputs are written too, and the
// Python tests replay them through the module to check that it gives the
// same file.
//
// The corpus is built with integer arithmetic and the four basic operations
// only (no library functions, no standard distributions, whose results differ
// between standard libraries), so every platform feeds the same bits.
//
// All NaNs are written alike: their sign and payload are not portable (x86
// and ARM produce different default NaNs) and callers do not tell NaNs apart.
// Every other value is written as its bit pattern, signed zeros included.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "helpers/dispatch.hpp"
#include "helpers/errors.hpp"
#include "helpers/recurrence_lanes.hpp"
#include "module/table.hpp"

namespace {

using namespace korva;
using args::Arg;
using args::Type;

// splitmix64: fixed arithmetic, the same sequence everywhere.
struct Rng {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t k) { return static_cast<std::size_t>(next() % k); }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }  // [0, 1)
    bool chance(std::size_t percent) { return below(100) < percent; }
};

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
// Written into the buffer slots that no view element covers: a view that
// reads outside its elements shows up as this value in a result.
constexpr double kPoison = -7777.25;

std::uint64_t bits_of(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// ---------------------------------------------------------------- values

// Kinds of data a series or a candle column holds.
enum class Data { Walk, NaNRuns, Specials, Constant, Tiny, Huge, Infinities, Integers, Count };

const double kSpecials[] = {0.0,   -0.0,  1.0,    -1.0,   kNaN,    kInf,
                            -kInf, 1e308, -1e308, 5e-324, -5e-324, 2.2250738585072014e-308,
                            0.5,   100.0, 1e-300};

std::vector<double> walk(Rng& r, std::size_t n, double start, double step) {
    std::vector<double> x(n);
    double v = start;
    for (std::size_t i = 0; i < n; ++i) {
        v = v + (r.unit() - 0.5) * step;
        x[i] = v;
    }
    return x;
}

std::vector<double> series_values(Rng& r, std::size_t n, Data kind) {
    std::vector<double> x = walk(r, n, 100.0, 2.0);
    switch (kind) {
        case Data::Walk: break;
        case Data::NaNRuns:
            for (std::size_t runs = n / 8 + 1; runs > 0 && n > 0; --runs) {
                const std::size_t at = r.below(n), len = 1 + r.below(6);
                for (std::size_t k = at; k < at + len && k < n; ++k) x[k] = kNaN;
            }
            break;
        case Data::Specials:
            for (double& v : x) {
                if (r.chance(40)) v = kSpecials[r.below(std::size(kSpecials))];
            }
            break;
        case Data::Constant:
            for (std::size_t i = 0; i < n;) {
                const std::size_t len = 1 + r.below(12);
                const double c = r.chance(25) ? (r.chance(50) ? 0.0 : -0.0) : x[i];
                for (std::size_t k = i; k < i + len && k < n; ++k) x[k] = c;
                i += len + r.below(4);
            }
            break;
        case Data::Tiny:
            for (double& v : x) v = (v - 100.0) * 1e-310;
            break;
        case Data::Huge:
            for (double& v : x) v = v * 1e306;
            break;
        case Data::Infinities:
            for (double& v : x) {
                if (r.chance(8)) v = r.chance(50) ? kInf : -kInf;
            }
            break;
        case Data::Integers:
            for (double& v : x) v = static_cast<double>(static_cast<std::int64_t>(r.below(7)) - 3);
            break;
        case Data::Count: break;
    }
    return x;
}

// Rows of timestamp, open, close, high, low, volume in a row-major vector.
std::vector<double> candle_values(Rng& r, std::size_t n, std::size_t cols, Data kind) {
    std::vector<double> m(n * cols);
    const std::vector<double> close = walk(r, n, 100.0, 2.0);
    double prev = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double o = prev, c = close[i];
        const double hi = (o > c ? o : c) + r.unit(), lo = (o < c ? o : c) - r.unit();
        const double row[6] = {1.6e12 + 60000.0 * static_cast<double>(i), o, c, hi, lo,
                               r.chance(10) ? 0.0 : r.unit() * 1000.0};
        for (std::size_t k = 0; k < cols; ++k) m[i * cols + k] = k < 6 ? row[k] : r.unit();
        prev = c;
    }
    if (kind != Data::Walk) {
        // The prices and volume take the data kind's values; timestamps stay in order.
        for (std::size_t k = 1; k < cols; ++k) {
            const std::vector<double> v = series_values(r, n, kind);
            for (std::size_t i = 0; i < n; ++i) {
                if (r.chance(50)) m[i * cols + k] = v[i];
            }
        }
    }
    return m;
}

// ---------------------------------------------------------------- buffers

// An array argument: 8-byte slots after `pad` bytes, and a view of them
// (byte offset, shape, byte strides) as NumPy describes one.
struct Buffer {
    std::size_t pad = 0;
    std::vector<std::uint64_t> slots;
    std::size_t offset = 0;
    std::size_t rows = 0, cols = 0;  // cols 0 for a 1-D view
    std::ptrdiff_t rs = 8, cs = 8;
    std::vector<unsigned char> raw;

    void materialise() {
        raw.assign(pad + 8 * slots.size() + 1, 0);
        for (std::size_t k = 0; k < slots.size(); ++k) std::memcpy(raw.data() + pad + 8 * k, &slots[k], 8);
    }
    char* base() { return reinterpret_cast<char*>(raw.data() + offset); }
};

// Places logical element (r, c) of a rows x cols view into the slots, for
// one of several layouts; 1-D arrays are rows x 1.
Buffer lay_out(Rng& r, const std::vector<std::uint64_t>& values, std::size_t rows, std::size_t cols, bool matrix) {
    Buffer b;
    b.rows = rows;
    b.cols = matrix ? cols : 0;
    std::size_t layout = r.below(matrix ? 6 : 5);
    std::ptrdiff_t rstep = 1, cstep = 1;  // in slots
    std::size_t width = cols;  // slots per stored row
    std::size_t first_col = 0;
    bool fortran = false;
    switch (layout) {
        case 0: break;  // contiguous
        case 1: rstep = -1; break;  // reversed rows
        case 2: rstep = 2; break;  // every other row
        case 3: b.pad = 1 + r.below(7); break;  // unit stride, misaligned
        case 4:
            if (matrix) {
                width = cols + 2;  // columns sliced out of a wider matrix
                first_col = 1;
            } else {
                rstep = -3;
            }
            break;
        case 5: fortran = true; break;  // column-major
    }
    const std::size_t stored_rows = rows * static_cast<std::size_t>(rstep < 0 ? -rstep : rstep);
    const std::size_t total = (stored_rows == 0 ? 1 : stored_rows) * (width == 0 ? 1 : width);
    b.slots.assign(total, bits_of(kPoison));
    auto slot = [&](std::size_t i, std::size_t c) -> std::size_t {
        const std::size_t ar = static_cast<std::size_t>(rstep < 0 ? -rstep : rstep);
        const std::size_t row = rstep < 0 ? (rows - 1 - i) * ar : i * ar;
        return fortran ? (c + first_col) * stored_rows + row : row * width + c + first_col;
    };
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t c = 0; c < cols; ++c) b.slots[slot(i, c)] = values[i * cols + c];
    }
    const std::ptrdiff_t row_slots = fortran ? 1 : static_cast<std::ptrdiff_t>(width);
    const std::ptrdiff_t col_slots = fortran ? static_cast<std::ptrdiff_t>(stored_rows) : 1;
    b.rs = 8 * rstep * row_slots;
    b.cs = 8 * cstep * col_slots;
    b.offset = b.pad + 8 * (rows > 0 && cols > 0 ? slot(0, 0) : 0);
    b.materialise();
    return b;
}

std::vector<std::uint64_t> to_bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = bits_of(v[i]);
    return out;
}

std::vector<std::int64_t> int_values(Rng& r, std::size_t n) {
    std::vector<std::int64_t> x(n);
    const std::int64_t t0 = 1600000000000;
    switch (r.below(4)) {
        case 0:  // timestamps a minute apart
            for (std::size_t i = 0; i < n; ++i) x[i] = t0 + 60000 * static_cast<std::int64_t>(i);
            break;
        case 1: {  // ascending timestamps with gaps, inside the range of case 0
            std::int64_t t = t0;
            for (std::size_t i = 0; i < n; ++i) {
                t += 60000 * static_cast<std::int64_t>(r.below(4));
                x[i] = t;
            }
            break;
        }
        case 2:
            for (std::int64_t& v : x) v = static_cast<std::int64_t>(r.below(201)) - 100;
            break;
        default:
            for (std::int64_t& v : x) {
                const std::int64_t edges[] = {kI64Min, kI64Max, 0, -1, 1, t0};
                v = edges[r.below(std::size(edges))];
            }
            break;
    }
    return x;
}

// ---------------------------------------------------------------- scalars

std::uint64_t uint_value(Rng& r, std::size_t n) {
    const std::size_t pick = r.below(10);
    if (pick < 6) return 1 + r.below(n / 2 + 2 < 40 ? n / 2 + 2 : 40);
    if (pick < 8) return r.below(4);
    const std::uint64_t edges[] = {n - 1, n, n + 1, 1ull << 31, (1ull << 32) + 1, 1ull << 63, kU64Max - 1, kU64Max};
    return edges[r.below(std::size(edges))];
}

std::int64_t int_value(Rng& r, std::size_t n) {
    if (r.chance(75)) return static_cast<std::int64_t>(r.below(9)) - 4;
    const std::int64_t sn = static_cast<std::int64_t>(n);
    const std::int64_t edges[] = {sn, -sn, sn + 1, -sn - 1, kI64Min, kI64Max, kI64Min + 1};
    return edges[r.below(std::size(edges))];
}

double float_value(Rng& r) {
    if (r.chance(60)) {
        const double typical[] = {0.5, 0.1, 0.07, 0.7, 1.5, 2.0, 3.0, 0.25, 0.9, 1e-3, 10.0};
        return r.chance(50) ? typical[r.below(std::size(typical))] : r.unit();
    }
    const double edges[] = {0.0, -0.0, kNaN, kInf, -kInf, -1.0, 1e308, 5e-324, 100.0, -0.5, 1.0};
    return edges[r.below(std::size(edges))];
}

// Names the string parameters accept (price sources, anchors, directions)
// and names they do not; taken in turn so that every function sees each.
const char* const kWords[] = {"close",  "hl2", "open", "high",  "low",   "hlc3",    "ohlc4", "HL2",
                              "volume", "",    "D",    "W",     "M",     "H",       "4H",    "12H",
                              "MN",     "h",   "long", "short", "bogus", "\xC5\xBF"};

// ---------------------------------------------------------------- a case

struct Case {
    std::vector<Arg> args;
    std::vector<Buffer> buffers;  // kept alive for the views in args
    std::string corpus;  // the inputs, one line per argument
};

std::string hex64(std::uint64_t v) {
    static const char digits[] = "0123456789abcdef";
    std::string s(16, '0');
    for (int k = 15; k >= 0; --k, v >>= 4) s[static_cast<std::size_t>(k)] = digits[v & 15];
    return s;
}

void describe(std::string& out, const char* word, const Buffer& b) {
    out += word;
    out += ' ' + std::to_string(b.pad) + ' ' + std::to_string(b.offset) + ' ' + std::to_string(b.rows) + ' ' +
           std::to_string(b.cols) + ' ' + std::to_string(b.rs) + ' ' + std::to_string(b.cs) + ' ' +
           std::to_string(b.slots.size());
    for (std::uint64_t s : b.slots) out += ' ' + hex64(s);
    out += '\n';
}

Case make_case(Rng& r, const table::Function& f, std::size_t index) {
    Case c;
    c.buffers.reserve(f.count);
    const std::size_t lengths[] = {0, 1, 2, 3, 5, 8, 13, 21, 34, 50, 64, 100, 150};
    // The first case of every function has no rows and candle matrices of
    // two columns (no close, high or low): which of its first checks a
    // function makes first (rows or columns) is part of what it raises, and a stream's answer on an
    // empty matrix repeats it.
    const bool bare = index == 0;
    // One length for every array of the call, so that most cases get past
    // the length checks; now and then an array of another length.
    const std::size_t n = bare ? 0 : index % 9 == 8 ? 300 : lengths[r.below(std::size(lengths))];
    const Data kind = static_cast<Data>(r.below(static_cast<std::size_t>(Data::Count)));
    for (std::size_t p = 0; p < f.count; ++p) {
        const std::size_t len = !bare && r.chance(8) ? lengths[r.below(std::size(lengths))] : n;
        switch (f.params[p].type) {
            case Type::Series: {
                Buffer& b = c.buffers.emplace_back(lay_out(r, to_bits(series_values(r, len, kind)), len, 1, false));
                describe(c.corpus, "series", b);
                c.args.emplace_back(SeriesView{b.base(), b.rs, b.rows});
                break;
            }
            case Type::Int64Series: {
                const std::vector<std::int64_t> v = int_values(r, len);
                std::vector<std::uint64_t> slots(v.begin(), v.end());
                Buffer& b = c.buffers.emplace_back(lay_out(r, slots, len, 1, false));
                describe(c.corpus, "int64", b);
                c.args.emplace_back(Int64View{b.base(), b.rs, b.rows});
                break;
            }
            case Type::Candles:
            case Type::CandlesMut: {
                const std::size_t widths[] = {6, 6, 6, 6, 6, 6, 7, 5, 0};
                const std::size_t cols = bare ? 2 : widths[r.below(std::size(widths))];
                Buffer& b =
                    c.buffers.emplace_back(lay_out(r, to_bits(candle_values(r, len, cols, kind)), len, cols, true));
                if (f.params[p].type == Type::Candles) {
                    describe(c.corpus, "candles", b);
                    c.args.emplace_back(MatrixView{b.base(), b.rs, b.cs, b.rows, b.cols});
                } else {
                    describe(c.corpus, "candles_mut", b);
                    c.args.emplace_back(MutableMatrixView{b.base(), b.rs, b.cs, b.rows, b.cols});
                }
                break;
            }
            case Type::Uint: {
                const std::uint64_t v = uint_value(r, n);
                c.corpus += "uint " + std::to_string(v) + '\n';
                c.args.emplace_back(v);
                break;
            }
            case Type::Int: {
                const std::int64_t v = int_value(r, n);
                c.corpus += "int " + std::to_string(v) + '\n';
                c.args.emplace_back(v);
                break;
            }
            case Type::Float: {
                const double v = float_value(r);
                c.corpus += "float " + hex64(bits_of(v)) + '\n';
                c.args.emplace_back(v);
                break;
            }
            case Type::Str: {
                const std::string_view w = kWords[(index + p) % std::size(kWords)];
                c.corpus += "str ";
                for (unsigned char ch : w) c.corpus += hex64(ch).substr(14);
                c.corpus += w.empty() ? "-\n" : "\n";
                c.args.emplace_back(w);
                break;
            }
            case Type::Bool: {
                const bool v = r.chance(50);
                c.corpus += v ? "bool 1\n" : "bool 0\n";
                c.args.emplace_back(v);
                break;
            }
        }
    }
    return c;
}

// ---------------------------------------------------------------- results

void number(std::string& out, double v) {
    out += ' ';
    out += v != v ? std::string("nan") : hex64(bits_of(v));
}

// Newlines and backslashes escaped, so that every text is one line.
void text(std::string& out, std::string_view s) {
    for (char ch : s) {
        if (ch == '\\')
            out += "\\\\";
        else if (ch == '\n')
            out += "\\n";
        else
            out += ch;
    }
}

void write_value(std::string& out, Value& v) {
    struct Writer {
        std::string& out;
        void operator()(None) { out += "none\n"; }
        void operator()(double d) {
            out += "float";
            number(out, d);
            out += '\n';
        }
        void operator()(std::int64_t i) { out += "int " + std::to_string(i) + '\n'; }
        void operator()(bool b) { out += b ? "bool 1\n" : "bool 0\n"; }
        void operator()(std::string& s) {
            out += "str ";
            text(out, s);
            out += '\n';
        }
        void operator()(Series& s) {
            out += "series " + std::to_string(s.size());
            for (std::size_t i = 0; i < s.size(); ++i) number(out, s[i]);
            out += '\n';
        }
        void operator()(Mask& m) {
            out += "mask " + std::to_string(m.size()) + ' ';
            for (std::size_t i = 0; i < m.size(); ++i) out += m[i] ? '1' : '0';
            out += '\n';
        }
        void operator()(Matrix& m) {
            out += "matrix " + std::to_string(m.rows()) + ' ' + std::to_string(m.cols());
            for (std::size_t i = 0; i < m.rows() * m.cols(); ++i) number(out, m.data()[i]);
            out += '\n';
        }
        void operator()(Tuple& t) {
            out += "tuple " + std::to_string(t.size()) + '\n';
            for (Value& item : t) write_value(out, item);
        }
        void operator()(Dict& d) {
            out += "dict " + std::to_string(d.items.size()) + '\n';
            for (auto& [key, item] : d.items) {
                out += "key ";
                out += key;
                out += '\n';
                write_value(out, item);
            }
        }
    };
    std::visit(Writer{out}, v.v);
}

const char* kind_name(ErrorKind k) {
    switch (k) {
        case ErrorKind::Value: return "ValueError";
        case ErrorKind::Index: return "IndexError";
        case ErrorKind::Type: return "TypeError";
        case ErrorKind::Memory: return "MemoryError";
        case ErrorKind::Internal: break;
    }
    return "InternalError";
}

std::string run_case(const table::Function& f, Case& c) {
    std::string out;
    try {
        Value v = f.impl(std::span<const Arg>(c.args.data(), c.args.size()));
        write_value(out, v);
    } catch (...) {
        const Failure failure = current_failure();
        out = "error ";
        out += kind_name(failure.kind);
        out += ' ';
        text(out, failure.text);
        out += '\n';
    }
    // Arguments written in place are part of the result.
    for (const Arg& a : c.args) {
        if (const MutableMatrixView* m = std::get_if<MutableMatrixView>(&a)) {
            out += "inout " + std::to_string(m->rows) + ' ' + std::to_string(m->cols);
            for (std::size_t i = 0; i < m->rows; ++i) {
                for (std::size_t k = 0; k < m->cols; ++k) number(out, m->get(i, k));
            }
            out += '\n';
        }
    }
    return out;
}

bool put(std::FILE* file, const std::string& s) { return std::fwrite(s.data(), 1, s.size(), file) == s.size(); }

int usage() {
    std::fputs(
        "usage: korva_golden [--seed N] [--cases N] [--corpus FILE] OUTPUT\n"
        "       korva_golden --level    (the kernel level in use)\n"
        "       korva_golden --levels   (every level this processor runs, lowest first)\n"
        "       korva_golden --libm     (the functions computing through C library maths, comma-separated)\n"
        "       korva_golden --steps    (each recurrence step's scalar and vector forms against each other)\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* error = korva::simd::request_error()) {
        std::fprintf(stderr, "korva_golden: %s\n", error);
        return 2;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--level") {
        std::printf("%s\n", korva::simd::name(korva::simd::active()));
        return 0;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--libm") {
        const char* sep = "";
        for (const table::Function& f : table::functions()) {
            if (!f.libm) continue;
            std::printf("%s%s", sep, f.name);
            sep = ",";
        }
        std::printf("\n");
        return 0;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--steps") {
        std::size_t failed = 0;
        for (const rec::check::Registered& c : rec::check::registry()) {
            std::size_t bad = 0;
            for (std::uint64_t seed = 1; seed <= 8; ++seed) bad += c.mismatches(seed);
            std::printf("step %s: %s\n", c.name, bad == 0 ? "scalar and vector forms agree" : "MISMATCH");
            failed += bad != 0;
        }
        std::printf("%zu step structures at level %s, %zu failed\n", rec::check::registry().size(),
                    simd::name(simd::active()), failed);
        return failed == 0 && !rec::check::registry().empty() ? 0 : 1;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--levels") {
        for (const korva::simd::Level l : korva::simd::levels())
            if (l <= korva::simd::detected()) std::printf("%s\n", korva::simd::name(l));
        return 0;
    }
    std::uint64_t seed = 20240601;
    std::size_t cases = 36;
    const char* corpus_path = nullptr;
    const char* out_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if ((a == "--seed" || a == "--cases" || a == "--corpus") && i + 1 < argc) {
            const char* v = argv[++i];
            if (a == "--seed")
                seed = std::strtoull(v, nullptr, 10);
            else if (a == "--cases")
                cases = static_cast<std::size_t>(std::strtoull(v, nullptr, 10));
            else
                corpus_path = v;
        } else if (!out_path && !a.starts_with("--")) {
            out_path = argv[i];
        } else {
            return usage();
        }
    }
    if (!out_path) return usage();
    // Binary mode: the files must not differ by line endings on Windows.
    std::FILE* out = std::fopen(out_path, "wb");
    std::FILE* corpus = corpus_path ? std::fopen(corpus_path, "wb") : nullptr;
    if (!out || (corpus_path && !corpus)) {
        std::perror("korva_golden");
        return 1;
    }
    bool ok = true;
    std::size_t index = 0;
    for (const table::Function& f : table::functions()) {
        if (!f.impl) continue;  // the coordinator serves until the process ends
        Rng r{seed ^ (0x5851F42D4C957F2Dull * ++index)};
        for (std::size_t k = 0; k < cases; ++k) {
            Case c = make_case(r, f, k);
            const std::string head = "case " + std::string(f.name) + ' ' + std::to_string(k) + '\n';
            if (corpus) ok = ok && put(corpus, head + c.corpus + "end\n");
            ok = ok && put(out, head + run_case(f, c));
        }
    }
    ok = (std::fclose(out) == 0) && ok;
    if (corpus) ok = (std::fclose(corpus) == 0) && ok;
    if (!ok) {
        std::fputs("korva_golden: write failed\n", stderr);
        return 1;
    }
    return 0;
}
