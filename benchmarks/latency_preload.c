/* Preloaded (LD_PRELOAD) by latency.py: adds a delay to each directory open,
 * and optionally to each stat-family call, standing in for a file server.
 *
 *   KESTRUM_OPEN_DELAY_US   microseconds added to opendir and fdopendir
 *   KESTRUM_STAT_DELAY_US   microseconds added to the stat family
 *   KESTRUM_OPEN_DELAY_MATCH  if set, only directories whose path holds this
 *                           text are delayed (a single server share that hangs)
 *
 * Built by latency.py with the system C compiler:
 *   cc -O2 -shared -fPIC -o latency_preload.so latency_preload.c -ldl
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* glibc before 2.33 routes the stat family through these; newer headers do
 * not declare them. */
int __xstat(int ver, const char* path, struct stat* buf);
int __lxstat(int ver, const char* path, struct stat* buf);
int __fxstat(int ver, int fd, struct stat* buf);
int __fxstatat(int ver, int dirfd, const char* path, struct stat* buf, int flags);

static long open_delay_us = -1;
static long stat_delay_us = -1;

static void pause_for(long* cached, const char* variable) {
    if (*cached < 0) {
        const char* text = getenv(variable);
        *cached = text ? atol(text) : 0;
    }
    if (*cached > 0) {
        struct timespec ts = {*cached / 1000000, (*cached % 1000000) * 1000};
        while (nanosleep(&ts, &ts) != 0) {
        }
    }
}

/* Whether a directory open of `path` is delayed: every one, unless
 * KESTRUM_OPEN_DELAY_MATCH narrows it down. */
static int delayed_path(const char* path) {
    const char* match = getenv("KESTRUM_OPEN_DELAY_MATCH");
    return !match || !*match || (path && strstr(path, match));
}

/* fdopendir gets no path: the one the descriptor was opened at. */
static int delayed_fd(int fd) {
    const char* match = getenv("KESTRUM_OPEN_DELAY_MATCH");
    if (!match || !*match) return 1;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0) return 0;
    path[n] = 0;
    return strstr(path, match) != NULL;
}

#define OPEN_DELAY() pause_for(&open_delay_us, "KESTRUM_OPEN_DELAY_US")
#define STAT_DELAY() pause_for(&stat_delay_us, "KESTRUM_STAT_DELAY_US")

/* The next definition of `fn` (libc's), looked up once. */
#define NEXT(fn)                 \
    static __typeof__(&fn) real; \
    if (!real) real = (__typeof__(&fn))dlsym(RTLD_NEXT, #fn)

DIR* opendir(const char* path) {
    NEXT(opendir);
    if (delayed_path(path)) OPEN_DELAY();
    return real(path);
}

DIR* fdopendir(int fd) {
    NEXT(fdopendir);
    if (delayed_fd(fd)) OPEN_DELAY();
    return real(fd);
}

int stat(const char* path, struct stat* buf) {
    NEXT(stat);
    STAT_DELAY();
    return real(path, buf);
}

int lstat(const char* path, struct stat* buf) {
    NEXT(lstat);
    STAT_DELAY();
    return real(path, buf);
}

int fstat(int fd, struct stat* buf) {
    NEXT(fstat);
    STAT_DELAY();
    return real(fd, buf);
}

int fstatat(int dirfd, const char* path, struct stat* buf, int flags) {
    NEXT(fstatat);
    STAT_DELAY();
    return real(dirfd, path, buf, flags);
}

int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* buf) {
    NEXT(statx);
    STAT_DELAY();
    return real(dirfd, path, flags, mask, buf);
}

/* The large-file names, which programs built with 64-bit offsets call. */
int stat64(const char* path, struct stat64* buf) {
    NEXT(stat64);
    STAT_DELAY();
    return real(path, buf);
}

int lstat64(const char* path, struct stat64* buf) {
    NEXT(lstat64);
    STAT_DELAY();
    return real(path, buf);
}

int fstat64(int fd, struct stat64* buf) {
    NEXT(fstat64);
    STAT_DELAY();
    return real(fd, buf);
}

int fstatat64(int dirfd, const char* path, struct stat64* buf, int flags) {
    NEXT(fstatat64);
    STAT_DELAY();
    return real(dirfd, path, buf, flags);
}

int __xstat(int ver, const char* path, struct stat* buf) {
    NEXT(__xstat);
    STAT_DELAY();
    return real ? real(ver, path, buf) : -1;
}

int __lxstat(int ver, const char* path, struct stat* buf) {
    NEXT(__lxstat);
    STAT_DELAY();
    return real ? real(ver, path, buf) : -1;
}

int __fxstat(int ver, int fd, struct stat* buf) {
    NEXT(__fxstat);
    STAT_DELAY();
    return real ? real(ver, fd, buf) : -1;
}

int __fxstatat(int ver, int dirfd, const char* path, struct stat* buf, int flags) {
    NEXT(__fxstatat);
    STAT_DELAY();
    return real ? real(ver, dirfd, path, buf, flags) : -1;
}
