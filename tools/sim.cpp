#include "sim.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <utility>

namespace lssim {
namespace {

const char kBases[] = "ACGT";
const double kLn2 = 0.69314718055994530942;
/* Bases kept free between planted features, so that each one stands alone. */
const uint64_t kPad = 20;

bool fail(std::string *err, const std::string &msg) {
    if (err) *err = msg;
    return false;
}

/* log and exp from + - * / only: libm differs between platforms in the last
 * bit, and a read length must not. */
double det_log(double x) {
    int e;
    double m = std::frexp(x, &e);
    if (m < 0.70710678118654752) m *= 2, --e;
    /* ln m = 2 atanh(t) with |t| <= 0.172: 20 terms are far below 1 ulp */
    double t = (m - 1) / (m + 1), t2 = t * t, term = t, sum = 0;
    for (int k = 1; k < 40; k += 2) sum += term / k, term *= t2;
    return e * kLn2 + 2 * sum;
}

double det_exp(double x) {
    double k = std::floor(x / kLn2 + 0.5), r = x - k * kLn2, term = 1, sum = 1;
    for (int i = 1; i < 25; ++i) term *= r / i, sum += term; /* |r| <= 0.35 */
    return std::ldexp(sum, (int)k);
}

uint64_t splitmix64(uint64_t &x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

inline uint64_t rotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

inline char random_base(Rng &rng) {
    return kBases[rng.next() >> 62];
}

int base_code(char c) {
    static const char kCodes[] = "ACGTacgt";
    const char *p = c ? strchr(kCodes, c) : nullptr;
    return p ? (int)(p - kCodes) & 3 : 4;
}

/* A base other than c (any base when c is not one). */
char other_base(Rng &rng, char c) {
    int x = base_code(c);
    return x < 4 ? kBases[(x + 1 + rng.below(3)) & 3] : random_base(rng);
}

std::string random_seq(Rng &rng, uint64_t len) {
    std::string s(len, 'A');
    for (char &c : s) c = random_base(rng);
    return s;
}

bool valid_name(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c == '!' || c == ' ' || c == '\t' || c == '\n' || c == '\r') return false;
    return true;
}

bool parse_u64(const std::string &s, uint64_t &v) {
    if (s.empty() || s.size() > 19) return false; /* 19 digits always fit */
    v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (uint64_t)(c - '0');
    }
    return true;
}

bool parse_int(const std::string &s, int &v) {
    bool neg = !s.empty() && s[0] == '-';
    uint64_t u;
    if (!parse_u64(neg ? s.substr(1) : s, u) || u > INT_MAX) return false;
    v = neg ? -(int)u : (int)u;
    return true;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> f;
    size_t b = 0;
    for (size_t e; (e = s.find(sep, b)) != std::string::npos; b = e + 1) f.push_back(s.substr(b, e - b));
    f.push_back(s.substr(b));
    return f;
}

/* Places features at random free intervals of the genome being built. */
struct Planter {
    Genome &g;
    Rng &rng;
    uint64_t total;
    std::vector<std::vector<std::pair<uint64_t, uint64_t>>> used; /* per contig */
    std::vector<std::pair<size_t, Feature>> planted;              /* with contig index */

    bool place(uint64_t len, size_t &ci, uint64_t &pos) {
        for (int tries = 0; tries < 100; ++tries) {
            uint64_t x = rng.below(total);
            for (ci = 0; x >= g.contigs[ci].seq.size(); ++ci) x -= g.contigs[ci].seq.size();
            uint64_t clen = g.contigs[ci].seq.size();
            if (len > clen) continue;
            pos = rng.below(clen - len + 1);
            bool free = true;
            for (auto &iv : used[ci])
                if (pos < iv.second + kPad && iv.first < pos + len + kPad) free = false;
            if (free) {
                used[ci].push_back({pos, pos + len});
                return true;
            }
        }
        return false;
    }

    /* Writes seq (if not empty) at a free place and records the feature. */
    void plant(const char *type, const std::string &seq, uint64_t len, char strand, int family,
               const std::string &detail) {
        size_t ci;
        uint64_t pos;
        if (len == 0 || !place(len, ci, pos)) return;
        if (!seq.empty()) g.contigs[ci].seq.replace(pos, len, seq);
        Feature f;
        f.type = type, f.contig = g.contigs[ci].name, f.start = pos, f.end = pos + len;
        f.strand = strand, f.family = family, f.detail = detail;
        planted.push_back({ci, f});
    }

    void plant_family(const char *type, uint64_t len, int copies, double divergence, int family) {
        std::string src = random_seq(rng, len), detail = ".";
        if (divergence > 0) {
            char buf[32];
            snprintf(buf, sizeof buf, "%g", divergence);
            detail = buf;
        }
        for (int c = 0; c < copies; ++c) {
            std::string copy = src;
            if (c > 0 && divergence > 0)
                for (char &b : copy)
                    if (rng.uniform() < divergence) b = other_base(rng, b);
            char strand = c > 0 && (rng.next() >> 63) ? '-' : '+';
            plant(type, strand == '-' ? revcomp(copy) : copy, len, strand, family, detail);
        }
    }
};

uint64_t draw_len(Rng &rng, const ReadParams &p) {
    double x = p.mean_len;
    if (p.sd_len > 0) { /* log-normal with the requested mean and sd */
        double cv = p.sd_len / p.mean_len, s2 = det_log(1 + cv * cv), mu = det_log(p.mean_len) - s2 / 2;
        x = det_exp(std::min(mu + std::sqrt(s2) * rng.normal(), 40.0));
    }
    return std::min(std::max((uint64_t)(x + 0.5), p.min_len), p.max_len);
}

/* Reference origin of donor interval [a,b) of c; false when it starts or ends
 * inside an inversion, where no single interval describes it. */
bool locate(const DonorContig &c, uint64_t a, uint64_t b, Truth &t) {
    uint64_t rs = UINT64_MAX, re = 0;
    t.strand = '+';
    for (const DonorPiece &p : c.pieces) {
        uint64_t ps = p.donor_start, pe = ps + p.len;
        if (pe <= a || ps >= b) continue;
        if (p.inversion >= 0) {
            if (a >= ps && b <= pe) { /* wholly inside: a plain read of the other strand */
                t.start = p.ref_start + (pe - b), t.end = p.ref_start + (pe - a), t.strand = '-';
                return true;
            }
            if (a > ps || b < pe) return false;
            t.inversions.push_back(p.inversion);
        }
        if (p.deletion_before >= 0 && a < ps) t.deletions.push_back(p.deletion_before);
        uint64_t lo = std::max(a, ps) - ps, hi = std::min(b, pe) - ps;
        rs = std::min(rs, p.ref_start + (p.inversion >= 0 ? 0 : lo));
        re = std::max(re, p.ref_start + (p.inversion >= 0 ? p.len : hi));
    }
    t.start = rs, t.end = re;
    std::sort(t.inversions.begin(), t.inversions.end());
    std::sort(t.deletions.begin(), t.deletions.end());
    return true;
}

/* Draws one read or fragment, error-free and oriented: random sequence with
 * probability random_frac, else a donor interval of either strand. */
bool draw_fragment(Rng &rng, const std::vector<DonorContig> &donor, uint64_t total, const ReadParams &p,
                   uint64_t index, Truth &t, std::string &seq) {
    t = Truth();
    t.index = index;
    if (rng.uniform() < p.random_frac) {
        t.contig = "*", t.random = true;
        seq = random_seq(rng, draw_len(rng, p));
        return true;
    }
    for (int tries = 0; tries < 1000; ++tries) {
        uint64_t len = draw_len(rng, p), x = rng.below(total);
        size_t ci = 0;
        for (; x >= donor[ci].seq.size(); ++ci) x -= donor[ci].seq.size();
        const DonorContig &c = donor[ci];
        len = std::min<uint64_t>(len, c.seq.size());
        uint64_t a = rng.below(c.seq.size() - len + 1);
        bool rev = rng.next() >> 63;
        t.inversions.clear(), t.deletions.clear();
        if (!locate(c, a, a + len, t)) continue;
        t.contig = c.name;
        seq = c.seq.substr(a, len);
        if (rev) seq = revcomp(seq), t.strand = t.strand == '+' ? '-' : '+';
        return true;
    }
    return false;
}

std::string add_errors(Rng &rng, const ReadParams &p, const std::string &s) {
    std::string r;
    r.reserve(s.size() + s.size() / 8);
    for (char c : s) {
        double u = rng.uniform();
        if (u < p.del_rate) continue;
        u -= p.del_rate;
        if (u < p.ins_rate)
            r += random_base(rng), r += c;
        else if (u - p.ins_rate < p.sub_rate)
            r += other_base(rng, c);
        else
            r += c;
    }
    return r;
}

std::string make_qual(Rng &rng, const ReadParams &p, size_t len) {
    std::string q(len, p.qual);
    if (p.random_qual)
        for (char &c : q) c = (char)('#' + rng.below('I' - '#' + 1));
    return q;
}

/* Checks the parameters and builds the donor that reads are drawn from. */
bool prepare(const std::vector<Contig> &ref, const std::vector<Feature> &features, const ReadParams &p, int n,
             std::vector<DonorContig> &donor, uint64_t &total, std::string *err) {
    auto rate_ok = [](double r) { return r >= 0 && r <= 1; };
    if (n < 0) return fail(err, "negative read count");
    if (!(p.mean_len >= 1) || !(p.sd_len >= 0) || p.min_len < 1 || p.min_len > p.max_len)
        return fail(err, "bad read length settings (need mean >= 1, sd >= 0, 1 <= min <= max)");
    if (!rate_ok(p.sub_rate) || !rate_ok(p.ins_rate) || !rate_ok(p.del_rate) || !rate_ok(p.random_frac) ||
        p.sub_rate + p.ins_rate + p.del_rate > 1)
        return fail(err,
                    "error rates and the random fraction must lie in [0,1], the rates summing to at most 1");
    if (p.qual < '!' || p.qual > '~') return fail(err, "quality character must be printable");
    for (const Contig &c : ref)
        if (!valid_name(c.name))
            return fail(err, "contig name '" + c.name + "' is empty or holds '!' or blanks");
    if (!make_donor(ref, features, donor, err)) return false;
    total = 0;
    for (const DonorContig &d : donor) total += d.seq.size();
    if (total == 0 && n > 0 && p.random_frac < 1) return fail(err, "the genome has no bases to sample");
    return true;
}

/* Buffered output through zlib; mode "T" writes the bytes uncompressed. */
class Writer {
  public:
    ~Writer() {
        if (fp_) gzclose(fp_);
    }
    bool open(const std::string &path, bool gzip, std::string *err) {
        const char *mode = gzip ? "wb6" : "wbT";
        path_ = path;
        fp_ = path == "-" ? gzdopen(dup(1), mode) : gzopen(path.c_str(), mode);
        return fp_ ? true : fail(err, "cannot write " + path);
    }
    void put(const std::string &s) { put(s.data(), s.size()); }
    void put(const char *s, size_t n) {
        buf_.append(s, n);
        if (buf_.size() >= (1u << 20)) flush();
    }
    bool close(std::string *err) {
        flush();
        int rc = gzclose(fp_);
        fp_ = nullptr;
        return ok_ && rc == Z_OK ? true : fail(err, "error writing " + path_);
    }

  private:
    void flush() {
        if (ok_ && !buf_.empty() && gzwrite(fp_, buf_.data(), (unsigned)buf_.size()) != (int)buf_.size())
            ok_ = false;
        buf_.clear();
    }
    gzFile fp_ = nullptr;
    std::string buf_, path_;
    bool ok_ = true;
};

bool slurp(const std::string &path, std::string &text, std::string *err) {
    gzFile fp = path == "-" ? gzdopen(dup(0), "rb") : gzopen(path.c_str(), "rb");
    if (!fp) return fail(err, "cannot open " + path);
    std::unique_ptr<char[]> buf(new char[1 << 16]);
    int n;
    while ((n = gzread(fp, buf.get(), 1 << 16)) > 0) text.append(buf.get(), (size_t)n);
    gzclose(fp);
    return n == 0 ? true : fail(err, "cannot read " + path);
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines = split(text, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    for (std::string &l : lines)
        if (!l.empty() && l.back() == '\r') l.pop_back();
    return lines;
}

} // namespace

Rng::Rng(uint64_t seed) {
    for (uint64_t &w : s) w = splitmix64(seed);
}

uint64_t Rng::next() {
    uint64_t r = rotl(s[1] * 5, 7) * 9, t = s[1] << 17;
    s[2] ^= s[0], s[3] ^= s[1], s[1] ^= s[2], s[0] ^= s[3], s[2] ^= t, s[3] = rotl(s[3], 45);
    return r;
}

uint64_t Rng::below(uint64_t n) {
    return n ? next() % n : 0;
} /* bias < n / 2^64 */

double Rng::uniform() {
    return (double)(next() >> 11) * (1.0 / 9007199254740992.0);
}

double Rng::normal() {
    for (;;) {
        double u = 2 * uniform() - 1, v = 2 * uniform() - 1, s2 = u * u + v * v;
        if (s2 > 0 && s2 < 1) return u * std::sqrt(-2 * det_log(s2) / s2);
    }
}

std::string revcomp(const std::string &s) {
    std::string r(s.rbegin(), s.rend());
    for (char &c : r) {
        int x = base_code(c);
        if (x < 4) c = (c >= 'a' ? "tgca" : "TGCA")[x];
    }
    return r;
}

bool make_genome(const GenomeParams &p, uint64_t seed, Genome &g, std::string *err) {
    g = Genome();
    if (p.n_contigs < 1 || p.total_len < (uint64_t)p.n_contigs)
        return fail(err, "need at least one contig and one base per contig");
    if (std::min({p.repeats, p.repeat_copies, p.diverged, p.diverged_copies, p.tandems, p.tandem_copies,
                  p.homopolymers, p.dinucleotides, p.nruns, p.inversions, p.deletions}) < 0)
        return fail(err, "negative feature count");
    if (!(p.divergence >= 0 && p.divergence <= 1)) return fail(err, "divergence must lie in [0,1]");
    Rng rng(seed);
    /* contig lengths: one base each, the rest split by random weights in [0.5,1.5) */
    std::vector<double> w(p.n_contigs);
    double wsum = 0;
    for (double &x : w) wsum += (x = 0.5 + rng.uniform());
    uint64_t rest = p.total_len - p.n_contigs, given = 0;
    for (int i = 0; i < p.n_contigs; ++i) {
        uint64_t len = i + 1 < p.n_contigs ? 1 + (uint64_t)((double)rest * w[i] / wsum) : p.total_len - given;
        given += len;
        g.contigs.push_back({"ctg" + std::to_string(i + 1), random_seq(rng, len)});
    }
    Planter pl{g, rng, p.total_len, std::vector<std::vector<std::pair<uint64_t, uint64_t>>>(p.n_contigs), {}};
    int family = 0;
    for (int i = 0; i < p.repeats; ++i) pl.plant_family("repeat", p.repeat_len, p.repeat_copies, 0, family++);
    for (int i = 0; i < p.diverged; ++i)
        pl.plant_family("diverged", p.diverged_len, p.diverged_copies, p.divergence, family++);
    for (int i = 0; i < p.tandems; ++i) {
        std::string unit = random_seq(rng, p.tandem_unit), seq;
        for (int c = 0; c < p.tandem_copies; ++c) seq += unit;
        pl.plant("tandem", seq, seq.size(), '+', -1, unit);
    }
    for (int i = 0; i < p.homopolymers; ++i) {
        char b = random_base(rng);
        pl.plant("homopolymer", std::string(p.lowcomp_len, b), p.lowcomp_len, '+', -1, std::string(1, b));
    }
    for (int i = 0; i < p.dinucleotides; ++i) {
        char a = random_base(rng), b = other_base(rng, a);
        std::string seq(p.lowcomp_len, a);
        for (size_t k = 1; k < seq.size(); k += 2) seq[k] = b;
        pl.plant("dinucleotide", seq, seq.size(), '+', -1, std::string{a, b});
    }
    for (int i = 0; i < p.nruns; ++i)
        pl.plant("nrun", std::string(p.nrun_len, 'N'), p.nrun_len, '+', -1, ".");
    for (int i = 0; i < p.inversions; ++i) pl.plant("inversion", "", p.inversion_len, '+', -1, ".");
    for (int i = 0; i < p.deletions; ++i) pl.plant("deletion", "", p.deletion_len, '+', -1, ".");
    std::sort(pl.planted.begin(), pl.planted.end(), [](const auto &a, const auto &b) {
        return a.first != b.first ? a.first < b.first : a.second.start < b.second.start;
    });
    for (auto &pf : pl.planted) {
        pf.second.id = (int)g.features.size();
        g.features.push_back(pf.second);
    }
    return true;
}

bool make_donor(const std::vector<Contig> &ref, const std::vector<Feature> &features,
                std::vector<DonorContig> &donor, std::string *err) {
    donor.clear();
    std::map<std::string, size_t> index;
    for (size_t i = 0; i < ref.size(); ++i) index[ref[i].name] = i;
    std::vector<std::vector<const Feature *>> events(ref.size());
    for (const Feature &f : features) {
        if (f.type != "inversion" && f.type != "deletion") continue;
        auto it = index.find(f.contig);
        if (it == index.end())
            return fail(err, "event " + std::to_string(f.id) + " on unknown contig " + f.contig);
        if (f.start >= f.end || f.end > ref[it->second].seq.size())
            return fail(err, "event " + std::to_string(f.id) + " lies outside its contig");
        events[it->second].push_back(&f);
    }
    for (size_t i = 0; i < ref.size(); ++i) {
        auto &ev = events[i];
        std::sort(ev.begin(), ev.end(),
                  [](const Feature *a, const Feature *b) { return a->start < b->start; });
        DonorContig d{ref[i].name, "", {}};
        uint64_t pos = 0;
        int pending_del = -1;
        auto piece = [&](uint64_t rs, uint64_t len, int inv) {
            if (len == 0) return;
            d.pieces.push_back({d.seq.size(), rs, len, inv, pending_del});
            pending_del = -1;
            std::string s = ref[i].seq.substr(rs, len);
            d.seq += inv >= 0 ? revcomp(s) : s;
        };
        for (const Feature *e : ev) {
            /* touching events would share a breakpoint and blur which one a read spans */
            if (e->start <= pos && pos > 0)
                return fail(err,
                            "events on " + ref[i].name + " touch or overlap at " + std::to_string(e->start));
            piece(pos, e->start - pos, -1);
            if (e->type == "inversion")
                piece(e->start, e->end - e->start, e->id);
            else
                pending_del = e->id;
            pos = e->end;
        }
        piece(pos, ref[i].seq.size() - pos, -1);
        donor.push_back(std::move(d));
    }
    return true;
}

bool make_reads(const std::vector<Contig> &ref, const std::vector<Feature> &features, const ReadParams &p,
                uint64_t seed, std::vector<Read> &reads, std::string *err) {
    reads.clear();
    std::vector<DonorContig> donor;
    uint64_t total;
    if (!prepare(ref, features, p, p.n_reads, donor, total, err)) return false;
    Rng rng(seed);
    for (int i = 0; i < p.n_reads; ++i) {
        Truth t;
        std::string s;
        if (!draw_fragment(rng, donor, total, p, (uint64_t)i, t, s))
            return fail(err, "cannot place read " + std::to_string(i) + " clear of inversion ends");
        if (!t.random) s = add_errors(rng, p, s);
        std::string q = make_qual(rng, p, s.size());
        reads.push_back({format_truth(t), std::move(s), std::move(q)});
    }
    return true;
}

bool make_pairs(const std::vector<Contig> &ref, const std::vector<Feature> &features, const ReadParams &p,
                uint64_t read_len, bool mate_suffix, uint64_t seed, std::vector<Read> &r1,
                std::vector<Read> &r2, std::string *err) {
    r1.clear(), r2.clear();
    std::vector<DonorContig> donor;
    uint64_t total;
    if (!prepare(ref, features, p, p.n_reads, donor, total, err)) return false;
    if (read_len < 1) return fail(err, "read length must be at least 1");
    Rng rng(seed);
    for (int i = 0; i < p.n_reads; ++i) {
        Truth t;
        std::string frag;
        if (!draw_fragment(rng, donor, total, p, (uint64_t)i, t, frag))
            return fail(err, "cannot place fragment " + std::to_string(i) + " clear of inversion ends");
        size_t r = (size_t)std::min<uint64_t>(read_len, frag.size());
        std::string s[2] = {frag.substr(0, r), revcomp(frag.substr(frag.size() - r))};
        for (int m = 0; m < 2; ++m) {
            if (!t.random) s[m] = add_errors(rng, p, s[m]);
            t.mate = mate_suffix ? m + 1 : 0;
            std::string q = make_qual(rng, p, s[m].size());
            (m ? r2 : r1).push_back({format_truth(t), std::move(s[m]), std::move(q)});
        }
    }
    return true;
}

std::string format_truth(const Truth &t) {
    std::string s = "r" + std::to_string(t.index) + "!" + t.contig + "!" + std::to_string(t.start) + "!" +
                    std::to_string(t.end) + "!" + t.strand;
    for (int id : t.inversions) s += "!inv" + std::to_string(id);
    for (int id : t.deletions) s += "!del" + std::to_string(id);
    if (t.random) s += "!rand";
    if (t.mate) s += "/" + std::to_string(t.mate);
    return s;
}

bool parse_truth(const std::string &full, Truth &t) {
    t = Truth();
    std::string name = full.substr(0, full.find_first_of(" \t\r\n"));
    size_t n = name.size();
    if (n >= 2 && name[n - 2] == '/' && (name[n - 1] == '1' || name[n - 1] == '2'))
        t.mate = name[n - 1] - '0', name.resize(n - 2);
    std::vector<std::string> f = split(name, '!');
    if (f.size() < 5 || f[0].size() < 2 || f[0][0] != 'r' || !parse_u64(f[0].substr(1), t.index) ||
        f[1].empty() || !parse_u64(f[2], t.start) || !parse_u64(f[3], t.end) || t.start > t.end ||
        (f[4] != "+" && f[4] != "-"))
        return false;
    t.contig = f[1], t.strand = f[4][0];
    for (size_t k = 5; k < f.size(); ++k) {
        uint64_t id;
        std::string tag = f[k].substr(0, 3), num = f[k].size() > 3 ? f[k].substr(3) : "";
        if (f[k] == "rand" && !t.random)
            t.random = true;
        else if ((tag == "inv" || tag == "del") && parse_u64(num, id) && id <= INT_MAX)
            (tag == "inv" ? t.inversions : t.deletions).push_back((int)id);
        else
            return false;
    }
    return true;
}

bool write_fasta(const std::string &path, const std::vector<Contig> &contigs, int line_width, bool gzip,
                 std::string *err) {
    Writer w;
    if (!w.open(path, gzip, err)) return false;
    for (const Contig &c : contigs) {
        w.put(">" + c.name + "\n");
        size_t step = line_width > 0 ? (size_t)line_width : std::max<size_t>(c.seq.size(), 1);
        for (size_t i = 0; i < c.seq.size(); i += step) {
            w.put(c.seq.data() + i, std::min(step, c.seq.size() - i));
            w.put("\n", 1);
        }
    }
    return w.close(err);
}

bool write_reads(const std::string &path, const std::vector<Read> &reads, bool fastq, bool gzip,
                 std::string *err) {
    Writer w;
    if (!w.open(path, gzip, err)) return false;
    for (const Read &r : reads) {
        if (fastq)
            w.put("@" + r.name + "\n" + r.seq + "\n+\n" + r.qual + "\n");
        else
            w.put(">" + r.name + "\n" + r.seq + "\n");
    }
    return w.close(err);
}

bool write_features(const std::string &path, const std::vector<Feature> &features, std::string *err) {
    Writer w;
    if (!w.open(path, false, err)) return false;
    w.put("#id\ttype\tcontig\tstart\tend\tstrand\tfamily\tdetail\n");
    for (const Feature &f : features)
        w.put(std::to_string(f.id) + "\t" + f.type + "\t" + f.contig + "\t" + std::to_string(f.start) + "\t" +
              std::to_string(f.end) + "\t" + f.strand + "\t" + std::to_string(f.family) + "\t" + f.detail +
              "\n");
    return w.close(err);
}

bool read_fasta(const std::string &path, std::vector<Contig> &contigs, std::string *err) {
    contigs.clear();
    std::string text;
    if (!slurp(path, text, err)) return false;
    for (const std::string &line : lines_of(text)) {
        if (!line.empty() && line[0] == '>') {
            contigs.push_back({line.substr(1, line.find_first_of(" \t", 1) - 1), ""});
        } else if (contigs.empty()) {
            if (!line.empty()) return fail(err, path + " is not a FASTA file");
        } else {
            for (char c : line)
                if (c != ' ' && c != '\t') contigs.back().seq += c;
        }
    }
    return true;
}

bool read_features(const std::string &path, std::vector<Feature> &features, std::string *err) {
    features.clear();
    std::string text;
    if (!slurp(path, text, err)) return false;
    std::vector<std::string> lines = lines_of(text);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].empty() || lines[i][0] == '#') continue;
        std::vector<std::string> f = split(lines[i], '\t');
        Feature x;
        if (f.size() != 8 || !parse_int(f[0], x.id) || !parse_u64(f[3], x.start) || !parse_u64(f[4], x.end) ||
            f[5].size() != 1 || !parse_int(f[6], x.family))
            return fail(err, path + ":" + std::to_string(i + 1) + ": malformed feature line");
        x.type = f[1], x.contig = f[2], x.strand = f[5][0], x.detail = f[7];
        features.push_back(x);
    }
    return true;
}

} // namespace lssim
