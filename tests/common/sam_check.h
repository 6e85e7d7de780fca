/* Strict syntax checks of single output lines, shared by the unit tests and
 * the fuzz targets: a SAM record line, a SAM header line and a PAF line. Each
 * returns true for a valid line, or false with the first fault, naming the
 * column or tag, in *why (may be null). A line is given without its newline.
 * The checks know nothing about the index, so they hold for any target set:
 * what they catch is a line that a SAM or PAF reader would refuse or misread.
 * Header-only so that the fuzz targets can use it without the test library. */
#ifndef LODESTAR_TESTS_SAM_CHECK_H
#define LODESTAR_TESTS_SAM_CHECK_H

#include <stdint.h>

#include <set>
#include <string>
#include <vector>

namespace sam_check_detail {

inline bool fail(std::string *why, const std::string &what) {
    if (why != nullptr) *why = what;
    return false;
}

inline std::vector<std::string> split_tabs(const std::string &line) {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (c == '\t')
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

/* A decimal integer ([-+]? digits when is_signed, digits otherwise) within
 * [lo, hi]. Values beyond 64 bits only need to compare as out of range, so
 * the magnitude saturates. */
inline bool parse_int(const std::string &s, bool is_signed, int64_t lo, int64_t hi, int64_t *out = nullptr) {
    size_t i = 0;
    bool neg = false;
    if (is_signed && i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    if (i == s.size()) return false;
    int64_t v = 0;
    const int64_t cap = INT64_C(1) << 40; // far beyond every bound checked here
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
        if (v > cap) v = cap;
    }
    if (neg) v = -v;
    if (v < lo || v > hi) return false;
    if (out != nullptr) *out = v;
    return true;
}

/* [-+]?[0-9]*\.?[0-9]+([eE][-+]?[0-9]+)? */
inline bool is_float(const std::string &s) {
    size_t i = 0;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    size_t int_digits = 0, frac_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++int_digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++frac_digits;
        if (frac_digits == 0) return false;
    }
    if (int_digits + frac_digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
        size_t exp_digits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == s.size();
}

inline bool is_alpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
inline bool is_alnum(char c) {
    return is_alpha(c) || (c >= '0' && c <= '9');
}

/* Reference names: [0-9A-Za-z!#$%&+./:;?@^_|~-][0-9A-Za-z!#$%&*+./:;=?@^_|~-]* */
inline bool is_rname(const std::string &s) {
    if (s.empty()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (is_alnum(c)) continue;
        const char *rest = i == 0 ? "!#$%&+./:;?@^_|~-" : "!#$%&*+./:;=?@^_|~-";
        bool ok = false;
        for (const char *p = rest; *p && !ok; ++p) ok = c == *p;
        if (!ok) return false;
    }
    return true;
}

/* Integer range of a typed integer: the i type and the B array subtypes. */
inline bool int_range(char type, int64_t *lo, int64_t *hi) {
    switch (type) {
    case 'c':
        *lo = -128, *hi = 127;
        return true;
    case 'C':
        *lo = 0, *hi = 255;
        return true;
    case 's':
        *lo = -32768, *hi = 32767;
        return true;
    case 'S':
        *lo = 0, *hi = 65535;
        return true;
    case 'i':
        *lo = -(INT64_C(1) << 31), *hi = (INT64_C(1) << 32) - 1;
        return true;
    case 'I':
        *lo = 0, *hi = (INT64_C(1) << 32) - 1;
        return true;
    default:
        return false;
    }
}

/* One TAG:TYPE:VALUE field; types are `types`, tags already seen are in *seen. */
inline bool tag_ok(const std::string &f, const char *types, std::set<std::string> *seen, std::string *why) {
    if (f.size() < 5 || !is_alpha(f[0]) || !is_alnum(f[1]) || f[2] != ':' || f[4] != ':')
        return fail(why, "optional field '" + f + "' is not TAG:TYPE:VALUE");
    const std::string tag = f.substr(0, 2), v = f.substr(5);
    const char type = f[3];
    bool known = false;
    for (const char *p = types; *p && !known; ++p) known = type == *p;
    if (!known) return fail(why, "tag " + tag + " has unknown type '" + std::string(1, type) + "'");
    if (!seen->insert(tag).second) return fail(why, "tag " + tag + " appears twice");
    int64_t lo, hi;
    switch (type) {
    case 'A':
        if (v.size() != 1 || v[0] < '!' || v[0] > '~')
            return fail(why, "tag " + tag + ":A is not one printable character");
        break;
    case 'f':
        if (!is_float(v)) return fail(why, "tag " + tag + ":f value '" + v + "' is not a number");
        break;
    case 'Z':
        for (char c : v)
            if (c < ' ' || c > '~') return fail(why, "tag " + tag + ":Z holds a non-printable byte");
        break;
    case 'H':
        if (v.size() % 2 != 0) return fail(why, "tag " + tag + ":H has an odd number of digits");
        for (char c : v)
            if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
                return fail(why, "tag " + tag + ":H holds a byte that is no hex digit");
        break;
    case 'B': {
        const std::vector<std::string> parts = [&v] {
            std::vector<std::string> out(1);
            for (char c : v) {
                if (c == ',')
                    out.emplace_back();
                else
                    out.back() += c;
            }
            return out;
        }();
        const std::string &sub = parts[0];
        if (sub.size() != 1 || (sub[0] != 'f' && !int_range(sub[0], &lo, &hi)))
            return fail(why, "tag " + tag + ":B has no valid array type");
        for (size_t k = 1; k < parts.size(); ++k) {
            const bool ok = sub[0] == 'f' ? is_float(parts[k]) : parse_int(parts[k], true, lo, hi);
            if (!ok)
                return fail(why, "tag " + tag + ":B element '" + parts[k] + "' is not a " + sub + " value");
        }
        break;
    }
    default: // an integer type
        int_range(type, &lo, &hi);
        if (!parse_int(v, true, lo, hi))
            return fail(why, "tag " + tag + ":" + std::string(1, type) + " value '" + v +
                                 "' is not an integer in range");
    }
    return true;
}

/* Query bases a CIGAR consumes (M, I, S, =, X); -1 for a malformed CIGAR. */
inline int64_t cigar_query_len(const std::string &c) {
    int64_t total = 0, len = 0;
    bool digits = false;
    for (char ch : c) {
        if (ch >= '0' && ch <= '9') {
            len = len * 10 + (ch - '0');
            if (len > (INT64_C(1) << 40)) len = INT64_C(1) << 40;
            digits = true;
            continue;
        }
        bool op = false;
        for (const char *p = "MIDNSHPX="; *p && !op; ++p) op = ch == *p;
        if (!op || !digits) return -1;
        if (ch == 'M' || ch == 'I' || ch == 'S' || ch == '=' || ch == 'X') total += len;
        len = 0, digits = false;
    }
    return digits || c.empty() ? -1 : total;
}

} // namespace sam_check_detail

/* A SAM record line (not a header line). */
inline bool ls_test_sam_line_ok(const std::string &line, std::string *why) {
    using namespace sam_check_detail;
    const int64_t kMaxPos = (INT64_C(1) << 31) - 1;
    const std::vector<std::string> f = split_tabs(line);
    if (f.size() < 11) return fail(why, "fewer than 11 columns");
    const std::string &qname = f[0];
    if (qname.empty() || qname.size() > 254) return fail(why, "QNAME length not 1..254");
    for (char c : qname)
        if (c < '!' || c > '~' || c == '@') return fail(why, "QNAME holds a byte outside [!-?A-~]");
    if (!parse_int(f[1], false, 0, 65535)) return fail(why, "FLAG '" + f[1] + "' not in 0..65535");
    if (f[2] != "*" && !is_rname(f[2])) return fail(why, "RNAME '" + f[2] + "' is not a reference name");
    if (!parse_int(f[3], false, 0, kMaxPos)) return fail(why, "POS '" + f[3] + "' not in 0..2^31-1");
    if (!parse_int(f[4], false, 0, 255)) return fail(why, "MAPQ '" + f[4] + "' not in 0..255");
    const int64_t cigar_qlen = f[5] == "*" ? -2 : cigar_query_len(f[5]);
    if (cigar_qlen == -1) return fail(why, "CIGAR '" + f[5] + "' is malformed");
    if (f[6] != "*" && f[6] != "=" && !is_rname(f[6]))
        return fail(why, "RNEXT '" + f[6] + "' is not a reference name");
    if (!parse_int(f[7], false, 0, kMaxPos)) return fail(why, "PNEXT '" + f[7] + "' not in 0..2^31-1");
    if (!parse_int(f[8], true, -kMaxPos, kMaxPos))
        return fail(why, "TLEN '" + f[8] + "' not in -2^31+1..2^31-1");
    const std::string &seq = f[9], &qual = f[10];
    if (seq.empty()) return fail(why, "SEQ is empty");
    if (seq != "*")
        for (char c : seq)
            if (!is_alpha(c) && c != '=' && c != '.') return fail(why, "SEQ holds a byte outside [A-Za-z=.]");
    if (qual.empty()) return fail(why, "QUAL is empty");
    for (char c : qual)
        if (c < '!' || c > '~') return fail(why, "QUAL holds a byte outside [!-~]");
    if (seq != "*" && qual != "*" && seq.size() != qual.size())
        return fail(why, "SEQ and QUAL lengths differ");
    if (seq != "*" && cigar_qlen >= 0 && cigar_qlen != (int64_t)seq.size())
        return fail(why, "CIGAR query length " + std::to_string(cigar_qlen) + " differs from SEQ length " +
                             std::to_string(seq.size()));
    std::set<std::string> seen;
    for (size_t i = 11; i < f.size(); ++i)
        if (!tag_ok(f[i], "AcCsSiIfZHB", &seen, why)) return false;
    return true;
}

/* A SAM header line: @XX, then TAB-separated TT:value fields; @CO holds free
 * text. No control byte besides the separating tabs. */
inline bool ls_test_sam_header_line_ok(const std::string &line, std::string *why) {
    using namespace sam_check_detail;
    if (line.size() < 3 || line[0] != '@' || !is_alpha(line[1]) || !is_alpha(line[2]))
        return fail(why, "record type is not @ and two letters");
    for (char c : line)
        if ((c != '\t' && (unsigned char)c < ' ') || c == 0x7f)
            return fail(why, "control byte in a header line");
    if (line.compare(0, 3, "@CO") == 0) {
        if (line.size() > 3 && line[3] != '\t') return fail(why, "@CO not followed by a tab");
        return true;
    }
    const std::vector<std::string> f = split_tabs(line);
    if (f[0].size() != 3) return fail(why, "record type is not @ and two letters");
    if (f.size() < 2) return fail(why, "header line without fields");
    std::set<std::string> seen;
    for (size_t i = 1; i < f.size(); ++i) {
        const std::string &x = f[i];
        if (x.size() < 4 || !is_alpha(x[0]) || !is_alnum(x[1]) || x[2] != ':')
            return fail(why, "header field '" + x + "' is not TT:value with a value");
        if (!seen.insert(x.substr(0, 2)).second)
            return fail(why, "header tag " + x.substr(0, 2) + " appears twice");
    }
    return true;
}

/* A PAF line: twelve columns, then typed tags. */
inline bool ls_test_paf_line_ok(const std::string &line, std::string *why) {
    using namespace sam_check_detail;
    const int64_t kMax = (INT64_C(1) << 40);
    const std::vector<std::string> f = split_tabs(line);
    if (f.size() < 12) return fail(why, "fewer than 12 columns");
    if (f[0].empty()) return fail(why, "query name is empty");
    for (char c : f[0])
        if (c == '\n' || c == '\r' || c == 0) return fail(why, "query name holds a line break or NUL");
    int64_t qlen, qs, qe, tlen, ts, te;
    if (!parse_int(f[1], false, 0, kMax, &qlen) || !parse_int(f[2], false, 0, kMax, &qs) ||
        !parse_int(f[3], false, 0, kMax, &qe))
        return fail(why, "query length, start or end is not a non-negative integer");
    if (qs > qe || qe > qlen) return fail(why, "query start <= end <= length fails");
    const std::string &strand = f[4];
    if (strand != "+" && strand != "-" && strand != "*")
        return fail(why, "strand '" + strand + "' is not +, - or *");
    if (f[5].empty()) return fail(why, "target name is empty");
    for (char c : f[5])
        if (c == '\n' || c == '\r' || c == 0) return fail(why, "target name holds a line break or NUL");
    if (!parse_int(f[6], false, 0, kMax, &tlen) || !parse_int(f[7], false, 0, kMax, &ts) ||
        !parse_int(f[8], false, 0, kMax, &te))
        return fail(why, "target length, start or end is not a non-negative integer");
    if (ts > te || te > tlen) return fail(why, "target start <= end <= length fails");
    if (strand == "*" && (f[5] != "*" || tlen != 0 || ts != 0 || te != 0))
        return fail(why, "unmapped line with a target");
    if (!parse_int(f[9], false, 0, kMax) || !parse_int(f[10], false, 0, kMax))
        return fail(why, "matches or block length is not a non-negative integer");
    if (!parse_int(f[11], false, 0, 255)) return fail(why, "mapq '" + f[11] + "' not in 0..255");
    std::set<std::string> seen;
    for (size_t i = 12; i < f.size(); ++i)
        if (!tag_ok(f[i], "AifZHB", &seen, why)) return false;
    return true;
}

#endif
