/* The Python module `lodestar`: an index object, a mapper object and the
 * mappings it returns, on top of the public C interface. Mapping and file
 * reading release the GIL, so Python threads map in parallel. Options are
 * keyword arguments named like the command's options and go through the
 * library's option list, as the command's do, so both read them the same way. */
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "lodestar.h"

namespace py = pybind11;

namespace {

/* The option records. */
struct Options {
    ls_idxopt io;
    ls_mapopt mo;
};

/* The preset names as the unknown-preset message lists them. */
std::string preset_names() {
    std::string s;
    for (int i = 0; i < ls_opt_preset_count(); ++i)
        s += (s.empty() ? "" : ", ") + std::string(ls_opt_preset_info(i)->names);
    return s;
}

/* Options as the command would read them from "-x preset" and the keyword
 * arguments: the preset first (also when given as x= or preset=), then each
 * keyword through the library's option list, named like the command's option
 * with '_' for '-' (one-letter keys are short options; key=True is a switch,
 * key=False leaves it out, other values are given as text). */
Options parse_options(const char *preset, const py::kwargs &kw) {
    bool have_preset = preset != nullptr;
    std::string chosen = have_preset ? preset : "";
    for (auto item : kw) {
        const std::string key = py::str(item.first);
        if (key != "x" && key != "preset") continue;
        const std::string value = py::str(item.second);
        // Presets set overlapping fields, so a second one would silently undo
        // part of the first.
        if (have_preset && chosen != value)
            throw py::value_error("option '-x': presets do not combine ('" + chosen + "', then '" + value +
                                  "'); give one");
        chosen = value, have_preset = true;
    }
    Options o;
    ls_idxopt_defaults(&o.io);
    ls_mapopt_defaults(&o.mo);
    if (have_preset) {
        // Tried on copies: an unknown "asm" name writes part of its settings.
        Options p = o;
        if (ls_opt_preset(chosen.c_str(), &p.io, &p.mo) != 0)
            throw py::value_error("unknown preset '" + chosen + "'; valid presets: " + preset_names());
        o = p;
    }
    for (auto item : kw) {
        const std::string key = py::str(item.first);
        if (key == "x" || key == "preset") continue;
        std::string name = key, value;
        for (char &c : name)
            if (c == '_') c = '-';
        const bool is_bool = py::isinstance<py::bool_>(item.second);
        if (is_bool && !item.second.cast<bool>()) continue;
        if (!is_bool) value = py::str(item.second);
        std::string err(name.size() + value.size() + 128, '\0');
        const int r =
            ls_opt_set(&o.io, &o.mo, name.c_str(), is_bool ? nullptr : value.c_str(), &err[0], err.size());
        // Files, threads (threads= of the call), verbosity and -G are the
        // command's, not the library's.
        if (r == -2)
            throw py::value_error("option '" + key + "' is unknown or only available on the command line");
        if (r != 0) throw py::value_error(err.c_str());
    }
    return o;
}

/* A record the mapper owns: texts from malloc, as the library frees them. */
char *copy_text(const char *s, size_t n) {
    char *t = static_cast<char *>(malloc(n + 1));
    if (!t) throw std::bad_alloc();
    memcpy(t, s, n);
    t[n] = 0;
    return t;
}

ls_bseq_rec make_record(const std::string &name, const char *seq, size_t len, const char *qual, size_t qual_len,
                        const char *comment, size_t comment_len) {
    if (len >= (size_t)INT32_MAX) throw py::value_error("sequence '" + name + "' is 2^31 bases or longer");
    ls_bseq_rec r;
    r.len = (int32_t)len, r.rec_id = 0;
    r.name = copy_text(name.data(), name.size());
    r.seq = copy_text(seq, len);
    // The index and the aligner know four bases: RNA's U is read as T.
    for (size_t i = 0; i < len; ++i)
        if (r.seq[i] == 'U' || r.seq[i] == 'u') --r.seq[i];
    r.qual = qual_len > 0 ? copy_text(qual, qual_len) : nullptr;
    r.comment = comment_len > 0 ? copy_text(comment, comment_len) : nullptr;
    return r;
}

void free_record(ls_bseq_rec *r) {
    free(r->name), free(r->seq), free(r->qual), free(r->comment);
}

/* All parts of an index. */
struct Index {
    std::vector<ls_idx *> parts;
    ~Index() {
        for (ls_idx *mi : parts) ls_idx_destroy(mi);
    }

    static std::shared_ptr<Index> read(const std::string &path, const ls_idxopt *io, int threads, bool index_only) {
        auto idx = std::make_shared<Index>();
        bool is_index = false;
        int error = 0;
        {
            py::gil_scoped_release nogil;
            ls_idx_reader *r = ls_idx_reader_open(path.c_str(), io, nullptr);
            if (!r) {
                error = -1;
            } else {
                is_index = ls_idx_reader_is_index(r);
                if (!index_only || is_index) {
                    while (ls_idx *mi = ls_idx_reader_read(r, threads < 1 ? 1 : threads)) {
                        ls_idx_build_name_index(mi);
                        idx->parts.push_back(mi);
                    }
                    error = ls_idx_reader_error(r);
                }
                ls_idx_reader_close(r);
            }
        }
        if (error == -1) throw py::value_error("cannot open '" + path + "': " + strerror(errno));
        if (index_only && !is_index) throw py::value_error("'" + path + "' is not an index file");
        if (error) throw py::value_error("failed to read '" + path + "'");
        if (idx->parts.empty()) throw py::value_error("no sequence in '" + path + "'");
        return idx;
    }

    /* The part and target id of a target name. */
    std::pair<const ls_idx *, int> find(const std::string &name) const {
        for (const ls_idx *mi : parts) {
            const int rid = ls_idx_name_to_id(mi, name.c_str());
            if (rid >= 0) return {mi, rid};
        }
        throw py::key_error("no target named '" + name + "'");
    }
};

/* The records of one query (one, or the mates of a fragment) and their
 * regions; every Mapping of the query keeps it alive. */
struct Query {
    std::shared_ptr<Index> index;
    std::shared_ptr<ls_run> run; /* the mapper's run: its read group goes into SAM */
    int64_t flag = 0;
    std::vector<ls_bseq_rec> recs;
    std::vector<int> n_regs, repeat_len, fragment_gap;
    std::vector<ls_reg *> regs;

    Query() = default;
    Query(const Query &) = delete;
    Query &operator=(const Query &) = delete;
    ~Query() {
        for (size_t s = 0; s < regs.size(); ++s) {
            for (int j = 0; j < n_regs[s]; ++j) free(regs[s][j].p);
            free(regs[s]);
        }
        for (ls_bseq_rec &r : recs) free_record(&r);
    }
    const ls_idx *mi() const { return index->parts[0]; }

    /* Maps the records (no GIL needed). */
    void map(const ls_mapopt *opt, ls_tbuf *b) {
        const size_t n = recs.size();
        n_regs.assign(n, 0), repeat_len.assign(n, 0), fragment_gap.assign(n, 0), regs.assign(n, nullptr);
        ls_map_records(mi(), (int)n, recs.data(), n_regs.data(), regs.data(), repeat_len.data(),
                       fragment_gap.data(), b, opt);
    }
};

const char *kCigarOps = LS_CIGAR_STR;

/* One mapping of one record of a query. */
struct Mapping {
    std::shared_ptr<Query> q;
    int seg, j;

    const ls_reg &r() const { return q->regs[seg][j]; }
    const ls_bseq_rec &rec() const { return q->recs[seg]; }

    std::string text(bool sam, ls_string *str) const {
        if (sam)
            ls_run_sam_format(q->run.get(), str, q->mi(), &rec(), seg, j, (int)q->recs.size(),
                              q->n_regs.data(), (const ls_reg *const *)q->regs.data(), nullptr,
                              q->flag | LS_F_SAM_OUT, q->repeat_len[seg]);
        else
            ls_paf_format(str, q->mi(), &rec(), &r(), nullptr, q->flag & ~LS_F_SAM_OUT, q->repeat_len[seg],
                          (int)q->recs.size(), seg);
        return std::string(str->s ? str->s : "", str->l);
    }
    std::string line(bool sam) const {
        // Only aligned mappings carry what a SAM record needs (the primary
        // record of each read among them).
        if (sam && !(q->flag & LS_F_BASE_ALIGN))
            throw py::value_error("to_sam() needs base-level alignment: create the Mapper with a=True or c=True");
        ls_string str = {0, 0, nullptr};
        std::string s = text(sam, &str);
        free(str.s);
        return s;
    }
    py::object cigar() const {
        if (!r().p) return py::none();
        std::string s;
        for (uint32_t k = 0; k < r().p->n_cigar; ++k)
            s += std::to_string(r().p->cigar[k] >> 4) + kCigarOps[r().p->cigar[k] & 0xf];
        return py::str(s);
    }
    py::object cigar_tuples() const {
        if (!r().p) return py::none();
        py::list l;
        for (uint32_t k = 0; k < r().p->n_cigar; ++k)
            l.append(py::make_tuple(r().p->cigar[k] >> 4, std::string(1, kCigarOps[r().p->cigar[k] & 0xf])));
        return std::move(l);
    }
    /* A difference string when the mapper was asked for it (and the mapping
     * is aligned); None otherwise. */
    py::object diff(int64_t wanted, bool md) const {
        if (!(q->flag & wanted) || !r().p) return py::none();
        char *buf = nullptr;
        int cap = 0;
        const int n = md ? ls_md_string(nullptr, &buf, &cap, q->mi(), &r(), rec().seq)
                         : ls_cs_string(nullptr, &buf, &cap, q->mi(), &r(), rec().seq,
                                        !(q->flag & LS_F_CS_LONG));
        py::object out = n < 0 ? py::object(py::none()) : py::object(py::str(buf, (size_t)n));
        free(buf);
        return out;
    }
    const char *kind() const {
        if (r().id != r().parent) return "secondary";
        return r().sam_pri ? "primary" : "supplementary";
    }
};

std::vector<Mapping> mappings_of(const std::shared_ptr<Query> &q, int seg) {
    std::vector<Mapping> out;
    for (int j = 0; j < q->n_regs[seg]; ++j) {
        const ls_reg &r = q->regs[seg][j];
        if ((q->flag & LS_F_NO_SECONDARY) && r.id != r.parent) continue;
        out.push_back(Mapping{q, seg, j});
    }
    return out;
}

struct Tbuf {
    ls_tbuf *b = ls_tbuf_init();
    Tbuf() {
        if (!b) throw std::bad_alloc();
    }
    ~Tbuf() { ls_tbuf_destroy(b); }
};

/* Messages of a run kept as text, for the exception that reports them. */
void keep_message(void *data, int, const char *line) {
    std::string *text = static_cast<std::string *>(data);
    if (!text->empty()) *text += "; ";
    *text += line;
}

int append_text(void *data, const char *buf, size_t len) {
    static_cast<std::string *>(data)->append(buf, len);
    return 0;
}

/* A run of the mapper's own, so that two mappers in one process keep their
 * read groups apart. */
std::shared_ptr<ls_run> new_run(const py::object &read_group) {
    std::shared_ptr<ls_run> run(ls_run_init(), ls_run_destroy);
    if (!run) throw std::bad_alloc();
    if (read_group.is_none()) return run;
    // Python text holds real tabs; the line is taken in the command's -R
    // form, where "\t" stands for a tab and "\\" for a backslash.
    std::string line;
    for (char c : py::str(read_group).cast<std::string>()) {
        if (c == '\t')
            line += "\\t";
        else if (c == '\\')
            line += "\\\\";
        else
            line += c;
    }
    std::string why;
    ls_run_set_log(run.get(), keep_message, &why, 1);
    const int rc = ls_run_set_read_group(run.get(), line.c_str());
    ls_run_set_log(run.get(), nullptr, nullptr, ls_verbosity);
    if (rc != 0) throw py::value_error("read_group: " + why);
    return run;
}

struct Mapper {
    std::shared_ptr<Index> index;
    ls_mapopt mo;
    std::shared_ptr<ls_run> run;

    Mapper(std::shared_ptr<Index> idx, py::object preset, py::object read_group, const py::kwargs &kw)
        : index(std::move(idx)), run(new_run(read_group)) {
        const std::string p = preset.is_none() ? "" : py::str(preset).cast<std::string>();
        Options a = parse_options(preset.is_none() ? nullptr : p.c_str(), kw);
        if (index->parts.size() != 1)
            throw py::value_error("the index has " + std::to_string(index->parts.size()) +
                                  " parts; map against several parts with the command's --split-prefix");
        mo = a.mo;
        if (ls_opt_check(&a.io, &mo) < 0) throw py::value_error("the options are inconsistent");
        ls_mapopt_update(&mo, index->parts[0]);
    }

    std::shared_ptr<Query> new_query() const {
        auto q = std::make_shared<Query>();
        q->index = index, q->run = run, q->flag = mo.flag;
        return q;
    }

    std::vector<Mapping> map_sequence(const std::string &seq, py::object mate, const std::string &name,
                                      py::object qual, py::object mate_qual) const {
        // Qualities are Phred+33 text, one per base, as in FASTQ.
        auto quality = [](const py::object &q, size_t len, const char *what) {
            if (q.is_none()) return std::string();
            std::string s = py::str(q);
            if (s.size() != len)
                throw py::value_error(std::string(what) + " has " + std::to_string(s.size()) + " values for " +
                                      std::to_string(len) + " bases");
            for (char c : s)
                if (c < '!' || c > '~') throw py::value_error(std::string(what) + " holds a byte outside '!'..'~'");
            return s;
        };
        auto q = new_query();
        const std::string qs = quality(qual, seq.size(), "qual");
        q->recs.push_back(make_record(name, seq.data(), seq.size(), qs.data(), qs.size(), nullptr, 0));
        if (!mate.is_none()) {
            const std::string m = py::str(mate);
            const std::string mq = quality(mate_qual, m.size(), "mate_qual");
            q->recs.push_back(make_record(name, m.data(), m.size(), mq.data(), mq.size(), nullptr, 0));
        } else if (!mate_qual.is_none()) {
            throw py::value_error("mate_qual without mate");
        }
        {
            py::gil_scoped_release nogil;
            Tbuf b;
            q->map(&mo, b.b);
        }
        std::vector<Mapping> out = mappings_of(q, 0);
        if (q->recs.size() > 1) {
            std::vector<Mapping> m2 = mappings_of(q, 1);
            out.insert(out.end(), m2.begin(), m2.end());
        }
        return out;
    }
};

/* Reads FASTA/FASTQ records (or the reads of a SAM, BAM or CRAM file) one by
 * one; the error names the file. drop_rg: leave an RG tag out of the comment,
 * for a mapper that writes its own. */
struct SeqFile {
    std::string path;
    ls_seqfile *f;
    static ls_seqfile *open(const std::string &p, bool drop_rg) {
        const ls_query_input in = {nullptr, nullptr, drop_rg ? 1 : 0};
        return ls_seqfile_open_query(p.c_str(), &in);
    }
    explicit SeqFile(const std::string &p, bool drop_rg = false) : path(p), f(open(p, drop_rg)) {
        if (!f) throw py::value_error("cannot open '" + path + "': " + strerror(errno));
    }
    ~SeqFile() { ls_seqfile_close(f); }
    SeqFile(const SeqFile &) = delete;
    SeqFile &operator=(const SeqFile &) = delete;
    /* False at the end of the input. */
    bool next(ls_seqfile_rec *rec) {
        const int ret = ls_seqfile_read(f, rec);
        if (ret >= 0) return true;
        if (ret == LS_SEQ_EOF) return false;
        const std::string why = ls_seqfile_error_text(f);
        throw py::value_error("failed to read '" + path + "': " + why);
    }
};

/* Maps a file (or two files of mates) batch by batch; yields (name,
 * mappings) per record in input order. */
struct FileMapper {
    std::shared_ptr<const Mapper> mapper;
    std::vector<std::unique_ptr<SeqFile>> files;
    int threads;
    bool at_end = false;
    std::vector<std::shared_ptr<Query>> batch;
    size_t next_query = 0;
    int next_seg = 0;
    std::unique_ptr<ls_bseq_rec> held; /* a record of the next fragment */
    std::string error; /* an input fault, raised after the records before it */

    ~FileMapper() {
        if (held) free_record(held.get());
    }

    ls_bseq_rec take(const ls_seqfile_rec &r, int64_t flag) {
        return make_record(std::string(r.name, r.name_len), r.seq, r.seq_len, r.qual, r.qual_len,
                           (flag & LS_F_COPY_COMMENT) ? r.comment : nullptr,
                           (flag & LS_F_COPY_COMMENT) ? r.comment_len : 0);
    }

    /* The next fragment's records, none at the end (no GIL needed). */
    bool read_fragment(Query *q) {
        const int64_t flag = mapper->mo.flag;
        ls_seqfile_rec r;
        if (files.size() > 1) {
            // Mates pair by their place in the files, so the files must
            // agree on the names and end together.
            size_t n_read = 0;
            for (auto &f : files)
                if (f->next(&r)) ++n_read, q->recs.push_back(take(r, flag));
            if (n_read == 0) return false;
            if (n_read < files.size())
                throw py::value_error("the files of mates hold different numbers of records: '" + files[0]->path +
                                      "' and '" + files[1]->path + "'");
            if (!ls_same_fragment(q->recs[0].name, q->recs[1].name))
                throw py::value_error("the mates of a pair do not match: '" + std::string(q->recs[0].name) +
                                      "' in '" + files[0]->path + "' but '" + q->recs[1].name + "' in '" +
                                      files[1]->path + "'");
            return true;
        }
        if (held) {
            q->recs.push_back(*held);
            held.reset();
        } else if (files[0]->next(&r)) {
            q->recs.push_back(take(r, flag));
        } else {
            return false;
        }
        // Interleaved mates: the records of one fragment follow each other.
        while ((flag & LS_F_FRAGMENT) && q->recs.size() < LS_MAX_SEG && files[0]->next(&r)) {
            ls_bseq_rec t = take(r, flag);
            if (!ls_same_fragment(q->recs.back().name, t.name)) {
                held.reset(new ls_bseq_rec(t));
                break;
            }
            q->recs.push_back(t);
        }
        return true;
    }

    void fill() {
        batch.clear(), next_query = 0, next_seg = 0;
        {
            py::gil_scoped_release nogil;
            try {
                int64_t bases = 0;
                while (bases < mapper->mo.batch_bases) {
                    auto q = mapper->new_query();
                    if (!read_fragment(q.get())) {
                        at_end = true;
                        break;
                    }
                    for (const ls_bseq_rec &r : q->recs) bases += r.len;
                    batch.push_back(q);
                }
            } catch (const std::exception &e) {
                error = e.what();
                at_end = true;
            }
            std::atomic<size_t> next(0);
            auto work = [&]() {
                Tbuf b;
                for (size_t i; (i = next++) < batch.size();) batch[i]->map(&mapper->mo, b.b);
            };
            std::vector<std::thread> pool;
            for (int t = 1; t < threads; ++t) pool.emplace_back(work);
            work();
            for (std::thread &t : pool) t.join();
        }
    }

    py::tuple next() {
        while (next_query >= batch.size()) {
            if (!error.empty()) {
                const std::string e = error;
                error.clear();
                throw py::value_error(e);
            }
            if (at_end) throw py::stop_iteration();
            fill();
        }
        std::shared_ptr<Query> q = batch[next_query];
        const int seg = next_seg;
        if (++next_seg == (int)q->recs.size()) next_seg = 0, ++next_query;
        return py::make_tuple(std::string(q->recs[seg].name), mappings_of(q, seg));
    }
};

struct SequenceReader {
    SeqFile file;
    explicit SequenceReader(const std::string &path) : file(path) {}
    py::tuple next() {
        ls_seqfile_rec r;
        bool more;
        {
            py::gil_scoped_release nogil;
            more = file.next(&r);
        }
        if (!more) throw py::stop_iteration();
        auto text_or_none = [](const char *s, size_t n) {
            return n > 0 ? py::object(py::str(s, n)) : py::object(py::none());
        };
        return py::make_tuple(py::str(r.name, r.name_len), py::str(r.seq, r.seq_len),
                              text_or_none(r.qual, r.qual_len), text_or_none(r.comment, r.comment_len));
    }
};

} // namespace

PYBIND11_MODULE(lodestar, m) {
    m.doc() = "Fast mapper for DNA and RNA sequences.";
    m.attr("__version__") = ls_version();
    m.def(
        "presets",
        [] {
            std::vector<std::pair<std::string, std::string>> v;
            for (int i = 0; i < ls_opt_preset_count(); ++i)
                v.emplace_back(ls_opt_preset_info(i)->names, ls_opt_preset_info(i)->help);
            return v;
        },
        "The presets as (names, help) pairs, names separated by \", \", in the order the command's help lists them.");

    py::class_<Index, std::shared_ptr<Index>>(m, "Index", "A minimizer index of a reference, with all its parts.")
        .def_static(
            "build",
            [](const std::string &path, py::object preset, int threads, const py::kwargs &kw) {
                const std::string p = preset.is_none() ? "" : py::str(preset).cast<std::string>();
                Options a = parse_options(preset.is_none() ? nullptr : p.c_str(), kw);
                return Index::read(path, &a.io, threads, false);
            },
            py::arg("path"), py::arg("preset") = py::none(), py::arg("threads") = 1,
            "Builds the index of a FASTA/FASTQ file (plain or gzip); index options (k, w, H, I) as keywords.")
        .def_static(
            "load", [](const std::string &path) { return Index::read(path, nullptr, 1, true); }, py::arg("path"),
            "Loads every part of an index file saved by save() or by the command's -d.")
        .def(
            "save",
            [](const Index &idx, const std::string &path, const std::string &format) {
                if (format != "mapped" && format != "stream")
                    throw py::value_error("format '" + format + "': give 'mapped' or 'stream'");
                FILE *fp = fopen(path.c_str(), "wb");
                if (!fp) throw py::value_error("cannot create '" + path + "': " + strerror(errno));
                bool ok = true;
                for (const ls_idx *mi : idx.parts)
                    ok = ok && (format == "mapped" ? ls_idx_write_mapped(fp, mi) : ls_idx_write(fp, mi)) == 0;
                ok = (fclose(fp) == 0) && ok;
                if (!ok) {
                    remove(path.c_str());
                    throw py::value_error("failed to write '" + path + "'");
                }
            },
            py::arg("path"), py::arg("format") = "mapped",
            "Saves every part: format 'mapped' (loads in place, shared by processes) or 'stream' (read by "
            "earlier versions).")
        .def_property_readonly("names",
                               [](const Index &idx) {
                                   std::vector<std::string> v;
                                   for (const ls_idx *mi : idx.parts)
                                       for (uint32_t i = 0; i < mi->n_seq; ++i) v.push_back(mi->seq[i].name);
                                   return v;
                               })
        .def_property_readonly("lengths",
                               [](const Index &idx) {
                                   std::vector<uint32_t> v;
                                   for (const ls_idx *mi : idx.parts)
                                       for (uint32_t i = 0; i < mi->n_seq; ++i) v.push_back(mi->seq[i].len);
                                   return v;
                               })
        .def_property_readonly("n_parts", [](const Index &idx) { return idx.parts.size(); })
        .def(
            "fetch",
            [](const Index &idx, const std::string &name, int64_t start, int64_t end) {
                auto t = idx.find(name);
                const int64_t len = t.first->seq[t.second].len;
                if (start < 0 || end > len || start > end)
                    throw py::index_error("interval [" + std::to_string(start) + ", " + std::to_string(end) +
                                          ") outside '" + name + "' of length " + std::to_string(len));
                std::string bases((size_t)(end - start), 'N');
                if (end > start &&
                    ls_idx_get_bases(t.first, t.second, (int)start, (int)end, (uint8_t *)&bases[0]) < 0)
                    throw py::value_error("the index holds no bases");
                for (char &c : bases) c = "ACGTN"[(uint8_t)c < 4 ? (uint8_t)c : 4];
                return bases;
            },
            py::arg("name"), py::arg("start"), py::arg("end"), "Bases [start, end) of a target, upper case.");

    py::class_<Mapping>(m, "Mapping", "One mapping of a query.")
        .def_property_readonly("query_name", [](const Mapping &x) { return std::string(x.rec().name); })
        .def_property_readonly("query_length", [](const Mapping &x) { return x.rec().len; })
        .def_property_readonly("query_start", [](const Mapping &x) { return x.r().qs; })
        .def_property_readonly("query_end", [](const Mapping &x) { return x.r().qe; })
        .def_property_readonly("segment", [](const Mapping &x) { return x.seg; })
        .def_property_readonly("strand", [](const Mapping &x) { return x.r().reverse ? "-" : "+"; })
        .def_property_readonly("target_name",
                               [](const Mapping &x) { return std::string(x.q->mi()->seq[x.r().target_id].name); })
        .def_property_readonly("target_length", [](const Mapping &x) { return x.q->mi()->seq[x.r().target_id].len; })
        .def_property_readonly("target_start", [](const Mapping &x) { return x.r().rs; })
        .def_property_readonly("target_end", [](const Mapping &x) { return x.r().re; })
        .def_property_readonly("mapq", [](const Mapping &x) { return (int)x.r().mapq; })
        .def_property_readonly("matches", [](const Mapping &x) { return x.r().match_len; })
        .def_property_readonly("block_length", [](const Mapping &x) { return x.r().block_len; })
        .def_property_readonly("kind", &Mapping::kind)
        .def_property_readonly("cigar", &Mapping::cigar)
        .def_property_readonly("cigar_tuples", &Mapping::cigar_tuples)
        .def_property_readonly("NM",
                               [](const Mapping &x) -> py::object {
                                   if (!x.r().p) return py::none();
                                   return py::int_(x.r().block_len + (int)x.r().p->n_ambiguous - x.r().match_len);
                               })
        .def_property_readonly("cs", [](const Mapping &x) { return x.diff(LS_F_CS_TAG, false); })
        .def_property_readonly("MD", [](const Mapping &x) { return x.diff(LS_F_MD_TAG, true); })
        .def("to_paf", [](const Mapping &x) { return x.line(false); }, "The PAF line (no newline).")
        .def("to_sam", [](const Mapping &x) { return x.line(true); }, "The SAM record (no newline).")
        .def("__repr__", [](const Mapping &x) {
            return "<Mapping " + std::string(x.rec().name) + ":" + std::to_string(x.r().qs) + "-" +
                   std::to_string(x.r().qe) + " " + (x.r().reverse ? "-" : "+") + " " +
                   x.q->mi()->seq[x.r().target_id].name + ":" + std::to_string(x.r().rs) + "-" +
                   std::to_string(x.r().re) + " mapq " + std::to_string(x.r().mapq) + " " + x.kind() + ">";
        });

    py::class_<Mapper, std::shared_ptr<Mapper>>(m, "Mapper", "Maps sequences against an index.")
        .def(py::init<std::shared_ptr<Index>, py::object, py::object, const py::kwargs &>(), py::arg("index"),
             py::arg("preset") = py::none(), py::arg("read_group") = py::none())
        .def(
            "sam_header",
            [](const Mapper &m) {
                std::string text;
                ls_run_set_writer(m.run.get(), append_text, &text);
                const int rc = ls_run_sam_header(m.run.get(), m.index->parts[0], ls_version(), 0, nullptr);
                ls_run_set_output(m.run.get(), nullptr);
                if (rc != 0) throw std::bad_alloc();
                return text;
            },
            "The SAM header of the mapper's records: @HD, @SQ, the read group (if any) and @PG.")
        .def("map_sequence", &Mapper::map_sequence, py::arg("seq"), py::arg("mate") = py::none(),
             py::arg("name") = "query", py::arg("qual") = py::none(), py::arg("mate_qual") = py::none(),
             "Mappings of one sequence, or of a pair with mate; qual and mate_qual (Phred+33 text) go into "
             "to_sam().")
        .def(
            "map_file",
            [](std::shared_ptr<Mapper> self, const std::string &path, py::object mate_path, int threads) {
                auto fm = std::make_shared<FileMapper>();
                fm->mapper = self;
                fm->threads = threads < 1 ? 1 : threads;
                const bool own_rg = ls_run_read_group_id(self->run.get())[0] != 0;
                fm->files.emplace_back(new SeqFile(path, own_rg));
                if (!mate_path.is_none()) fm->files.emplace_back(new SeqFile(py::str(mate_path), own_rg));
                return fm;
            },
            py::arg("path"), py::arg("mate_path") = py::none(), py::arg("threads") = 1,
            "Iterates (name, mappings) over the records of a file (or of two files of mates), in input order.");

    py::class_<FileMapper, std::shared_ptr<FileMapper>>(m, "FileMapping")
        .def("__iter__", [](std::shared_ptr<FileMapper> self) { return self; })
        .def("__next__", &FileMapper::next);

    py::class_<SequenceReader, std::shared_ptr<SequenceReader>>(m, "SequenceReader")
        .def("__iter__", [](std::shared_ptr<SequenceReader> self) { return self; })
        .def("__next__", &SequenceReader::next);
    m.def(
        "read_sequences", [](const std::string &path) { return std::make_shared<SequenceReader>(path); },
        py::arg("path"),
        "Iterates (name, sequence, quality, comment) over a FASTA/FASTQ file, plain or gzip, or the reads "
        "of a SAM, BAM or CRAM file (its tags as the comment); quality and comment are None when absent.");
}
