/* A passthrough FUSE file system that delays each directory open, for the
 * tests and benchmarks of scans over slow mounts (see fuse_mount.py).
 *
 *   fuse_delay SOURCE MOUNTPOINT [--delay-us N] [--fixed-times SECONDS]
 *              [--counter FILE] [FUSE OPTIONS...]
 *
 * Serves SOURCE at MOUNTPOINT, in the foreground, many requests at once.
 * --delay-us: each directory open waits that long first, as for a server.
 * --fixed-times: every directory reports that time as its access,
 * modification and change time, as mounts of object stores do.
 * --counter: FILE holds at least 8 bytes; the first 8 count the directory
 * opens (little-endian), updated as they happen.
 *
 * Build: cc -O2 -o fuse_delay fuse_delay.c $(pkg-config --cflags --libs fuse3)
 */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static const char *source;
static long delay_us;
static int fixed;
static time_t fixed_time;
static volatile uint64_t *opens;

static int full(char *out, const char *path) {
    int n = snprintf(out, PATH_MAX, "%s%s", source, path);
    return n < 0 || n >= PATH_MAX ? -ENAMETOOLONG : 0;
}

#define FULL(var, path)                 \
    char var[PATH_MAX];                 \
    do {                                \
        int status_ = full(var, path);  \
        if (status_) return status_;    \
    } while (0)

static void fix_times(struct stat *st) {
    if (!fixed || !S_ISDIR(st->st_mode)) return;
    st->st_atim.tv_sec = st->st_mtim.tv_sec = st->st_ctim.tv_sec = fixed_time;
    st->st_atim.tv_nsec = st->st_mtim.tv_nsec = st->st_ctim.tv_nsec = 0;
}

static void *fd_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
    (void)conn;
    cfg->use_ino = 1;  /* the source's inode numbers, stable across lookups */
    return NULL;
}

static int fd_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
    (void)fi;  /* a directory's handle is a DIR*, not a descriptor: by path always */
    FULL(p, path);
    if (lstat(p, st) != 0) return -errno;
    fix_times(st);
    return 0;
}

static int fd_readlink(const char *path, char *buf, size_t size) {
    FULL(p, path);
    ssize_t n = readlink(p, buf, size - 1);
    if (n < 0) return -errno;
    buf[n] = 0;
    return 0;
}

static int fd_opendir(const char *path, struct fuse_file_info *fi) {
    FULL(p, path);
    if (delay_us > 0) {
        struct timespec ts = {delay_us / 1000000, (delay_us % 1000000) * 1000};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
    if (opens) __atomic_fetch_add(opens, 1, __ATOMIC_SEQ_CST);
    DIR *dir = opendir(p);
    if (!dir) return -errno;
    fi->fh = (uint64_t)(uintptr_t)dir;
    return 0;
}

static int fd_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info *fi, enum fuse_readdir_flags flags) {
    (void)path;
    (void)flags;
    DIR *dir = (DIR *)(uintptr_t)fi->fh;
    /* The whole directory in one reply: offsets are not kept. */
    if (offset != 0) return 0;
    rewinddir(dir);
    struct dirent *entry;
    while ((entry = readdir(dir)) != NULL) {
        struct stat st;
        memset(&st, 0, sizeof st);
        st.st_ino = entry->d_ino;
        st.st_mode = (mode_t)(entry->d_type << 12);
        if (fill(buf, entry->d_name, &st, 0, 0)) break;
    }
    return 0;
}

static int fd_releasedir(const char *path, struct fuse_file_info *fi) {
    (void)path;
    closedir((DIR *)(uintptr_t)fi->fh);
    return 0;
}

static int fd_mkdir(const char *path, mode_t mode) {
    FULL(p, path);
    return mkdir(p, mode) ? -errno : 0;
}

static int fd_rmdir(const char *path) {
    FULL(p, path);
    return rmdir(p) ? -errno : 0;
}

static int fd_unlink(const char *path) {
    FULL(p, path);
    return unlink(p) ? -errno : 0;
}

static int fd_symlink(const char *target, const char *path) {
    FULL(p, path);
    return symlink(target, p) ? -errno : 0;
}

static int fd_rename(const char *from, const char *to, unsigned int flags) {
    if (flags) return -EINVAL;
    FULL(a, from);
    FULL(b, to);
    return rename(a, b) ? -errno : 0;
}

static int fd_chmod(const char *path, mode_t mode, struct fuse_file_info *fi) {
    (void)fi;
    FULL(p, path);
    return chmod(p, mode) ? -errno : 0;
}

static int fd_truncate(const char *path, off_t size, struct fuse_file_info *fi) {
    if (fi) return ftruncate((int)fi->fh, size) ? -errno : 0;
    FULL(p, path);
    return truncate(p, size) ? -errno : 0;
}

static int fd_utimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi) {
    (void)fi;
    FULL(p, path);
    return utimensat(AT_FDCWD, p, tv, AT_SYMLINK_NOFOLLOW) ? -errno : 0;
}

static int fd_create(const char *path, mode_t mode, struct fuse_file_info *fi) {
    FULL(p, path);
    int fd = open(p, fi->flags, mode);
    if (fd < 0) return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int fd_open(const char *path, struct fuse_file_info *fi) {
    FULL(p, path);
    int fd = open(p, fi->flags);
    if (fd < 0) return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int fd_read(const char *path, char *buf, size_t size, off_t offset,
                   struct fuse_file_info *fi) {
    (void)path;
    ssize_t n = pread((int)fi->fh, buf, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int fd_write(const char *path, const char *buf, size_t size, off_t offset,
                    struct fuse_file_info *fi) {
    (void)path;
    ssize_t n = pwrite((int)fi->fh, buf, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int fd_release(const char *path, struct fuse_file_info *fi) {
    (void)path;
    close((int)fi->fh);
    return 0;
}

static const struct fuse_operations operations = {
    .init = fd_init,
    .getattr = fd_getattr,
    .readlink = fd_readlink,
    .opendir = fd_opendir,
    .readdir = fd_readdir,
    .releasedir = fd_releasedir,
    .mkdir = fd_mkdir,
    .rmdir = fd_rmdir,
    .unlink = fd_unlink,
    .symlink = fd_symlink,
    .rename = fd_rename,
    .chmod = fd_chmod,
    .truncate = fd_truncate,
    .utimens = fd_utimens,
    .create = fd_create,
    .open = fd_open,
    .read = fd_read,
    .write = fd_write,
    .release = fd_release,
};

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s SOURCE MOUNTPOINT [--delay-us N] [--fixed-times SECONDS] "
                        "[--counter FILE] [FUSE OPTIONS...]\n", argv[0]);
        return 2;
    }
    static char resolved[PATH_MAX];
    if (!realpath(argv[1], resolved)) {
        perror(argv[1]);
        return 1;
    }
    source = resolved;
    char **args = calloc((size_t)argc + 8, sizeof *args);
    int n = 0;
    args[n++] = argv[0];
    args[n++] = argv[2];
    args[n++] = "-f";
    args[n++] = "-o";
    args[n++] = "max_threads=256,fsname=fuse_delay";
    for (int i = 3; i < argc; ++i) {
        if (!strcmp(argv[i], "--delay-us") && i + 1 < argc) {
            delay_us = atol(argv[++i]);
        } else if (!strcmp(argv[i], "--fixed-times") && i + 1 < argc) {
            fixed = 1;
            fixed_time = (time_t)atoll(argv[++i]);
        } else if (!strcmp(argv[i], "--counter") && i + 1 < argc) {
            int fd = open(argv[++i], O_RDWR);
            void *map = fd < 0 ? MAP_FAILED
                               : mmap(NULL, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (map == MAP_FAILED) {
                perror(argv[i]);
                return 1;
            }
            opens = map;
        } else {
            args[n++] = argv[i];
        }
    }
    return fuse_main(n, args, &operations, NULL);
}
