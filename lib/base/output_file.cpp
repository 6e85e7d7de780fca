/* Result files written under a temporary name and renamed into place.
 *
 * The temporary file is created with O_EXCL | O_NOFOLLOW next to the final
 * name (a rename never crosses file systems then), so a symbolic link planted
 * at a predictable name is never followed and a file that already exists is
 * never truncated. Only that temporary file is ever removed: the final path
 * is touched by the rename alone. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string>

#include "base/diagnostics.h"
#include "lodestar.h"

struct ls_outfile {
    FILE *fp = nullptr;
    std::string path; /* the final name (a symbolic link resolved) */
    std::string tmp;  /* empty when the file is written in place */
    std::string role;
};

namespace {

void report(const char *role, const std::string &path, const char *why) {
    ls_log(LS_LOG_ERROR, "failed to write the %s file '%s': %s", role, path.c_str(), why);
}

std::string dir_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

/* Creates "<path>.<random>.tmp" exclusively; -1 with errno when it cannot.
 * A base name near the file-name limit is shortened in the temporary name
 * only, so that a final name the file system accepts always gets a
 * temporary one. */
int create_tmp(const std::string &path, mode_t mode, std::string *tmp) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t kSuffix = 1 + 8 + 4; /* "." + 8 hex digits + ".tmp" */
    if (base.size() + kSuffix > NAME_MAX) base.resize(NAME_MAX - kSuffix);
    uint64_t x = (uint64_t)getpid() << 32 ^ (uint64_t)time(nullptr) ^ (uint64_t)(uintptr_t)tmp;
    for (int attempt = 0; attempt < 64; ++attempt) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        char suffix[16];
        snprintf(suffix, sizeof(suffix), ".%08x.tmp", (unsigned)(x >> 32));
        *tmp = dir + base + suffix;
        const int fd = open(tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

} // namespace

ls_outfile *ls_outfile_open(const char *path, const char *role) {
    if (path == nullptr || *path == 0) {
        report(role, "", "no file name");
        return nullptr;
    }
    std::unique_ptr<ls_outfile> f(new (std::nothrow) ls_outfile());
    if (!f) return nullptr;
    f->role = role;
    f->path = path;
    struct stat st;
    if (lstat(path, &st) != 0 && errno != ENOENT) { // a name too long, a file in the way of a directory
        report(role, path, strerror(errno));
        return nullptr;
    }
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        // Like a shell redirection: the link stays, the file it names is
        // written.
        char *real = realpath(path, nullptr);
        if (real == nullptr) {
            report(role, path, "it is a symbolic link to a file that does not exist");
            return nullptr;
        }
        f->path = real;
        free(real);
    }
    const bool exists = stat(f->path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        report(role, path, strerror(EISDIR));
        return nullptr;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or a pipe (/dev/stdout, a named pipe) cannot be renamed
        // over: it is written in place and never removed.
        const int fd = open(f->path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0 || (f->fp = fdopen(fd, "w")) == nullptr) {
            if (fd >= 0) close(fd);
            report(role, path, strerror(errno));
            return nullptr;
        }
        return f.release();
    }
    const std::string dir = dir_of(f->path);
    struct stat dst;
    if (stat(dir.c_str(), &dst) != 0 || !S_ISDIR(dst.st_mode)) {
        const std::string why = "the directory '" + dir + "' " +
                                (errno == ENOENT || errno == ENOTDIR ? "does not exist" : strerror(errno));
        report(role, path, why.c_str());
        return nullptr;
    }
    // An existing file keeps its permissions, as it would under a shell
    // redirection; a new one gets the usual ones less the umask.
    const int fd = create_tmp(f->path, exists ? st.st_mode & 07777 : 0666, &f->tmp);
    if (fd < 0) {
        report(role, path, strerror(errno));
        return nullptr;
    }
    if (exists) (void)fchmod(fd, st.st_mode & 07777); // the umask applied at creation
    f->fp = fdopen(fd, "w");
    if (f->fp == nullptr) {
        const int e = errno;
        close(fd);
        unlink(f->tmp.c_str());
        report(role, path, strerror(e));
        return nullptr;
    }
    return f.release();
}

FILE *ls_outfile_fp(const ls_outfile *f) {
    return f->fp;
}

const char *ls_outfile_tmp_path(const ls_outfile *f) {
    return f->tmp.empty() ? nullptr : f->tmp.c_str();
}

int ls_outfile_commit(ls_outfile *f) {
    if (f == nullptr) return 0;
    std::unique_ptr<ls_outfile> owned(f);
    const bool written = fflush(f->fp) == 0 && !ferror(f->fp);
    int e = errno;
    const bool closed = fclose(f->fp) == 0;
    if (written && !closed) e = errno;
    f->fp = nullptr;
    if (written && closed && (f->tmp.empty() || rename(f->tmp.c_str(), f->path.c_str()) == 0)) return 0;
    if (written && closed) e = errno;
    if (!f->tmp.empty()) unlink(f->tmp.c_str());
    report(f->role.c_str(), f->path, strerror(e ? e : EIO));
    return -1;
}

void ls_outfile_abandon(ls_outfile *f) {
    if (f == nullptr) return;
    if (f->fp) fclose(f->fp);
    if (!f->tmp.empty()) unlink(f->tmp.c_str());
    delete f;
}
