/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/*
 * An echo server on 127.0.0.1 that gives every connection two deadlines and
 * keeps them all with two timers.
 *
 * A connection must send a greeting line within --setup ms of connecting,
 * and then some line at least every --idle ms. The server echoes each line,
 * and closes a connection that misses its deadline, telling it why.
 *
 * Many timers, one timeout. All the connections in one phase share a
 * timeout, so a timer per connection would be armed behind all the others,
 * and every re-arm would walk the whole list. Instead each phase is a
 * stimer_class (stimer_class.h): its connections stand in the order of
 * their last activity, and one timer is armed for the first of them. A line
 * costs O(1) and no stimer call, and a phase costs one running timer.
 *
 * A timer per connection is the better choice when connections are few, or
 * when their timeouts differ (a deadline each peer negotiates, say): each
 * arming then walks only the timers that fire sooner.
 *
 * Every activity is stamped with a tick read when it happens, so deadlines
 * stand in the FIFO in the order of their activity. Each wake-up reads at
 * most once from each connection and accepts at most EVENTS connections,
 * so that one busy peer cannot starve the others.
 *
 *   idle_server [--port N] [--setup MS] [--idle MS] [--stats MS] [--run MS]
 *
 * It prints "listening on 127.0.0.1:<port>", then a statistics line every
 * --stats ms (re-armed from when it was due, so that it does not drift). It
 * stops on SIGTERM or SIGINT, or after --run ms if that is given, closes
 * every connection, and says in its last line whether anything leaked.
 * A connection closed by the server first receives
 * "bye <setup|idle|shutdown|long> <deadline tick> <tick now> <tick accepted>";
 * "long" is a line of more than LINE_BYTES bytes. Out of descriptors, it
 * says so once and stops accepting until a connection closes.
 */
#define _GNU_SOURCE /* accept4, signalfd */
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "stimer.h"
#include "stimer_class.h"
#include "tovask.h"

#define LINE_BYTES 512 /* the longest line, newline included */
#define EVENTS     64

/* The timers of one list must fire within 2^31 ticks of each other and of
 * the tick at which one is armed. A timeout of at most half of that leaves
 * the other half for a pass that comes late. */
#define MAX_TIMEOUT (INT32_MAX / 2)

#define USAGE                                                              \
    "usage: idle_server [--port N] [--setup MS] [--idle MS] [--stats MS] " \
    "[--run MS]\n"                                                         \
    "Each time is at most %d ms. A line is at most %d bytes, newline "     \
    "included;\na longer one closes the connection with \"bye long\".\n"

enum { SETUP, IDLE, PHASES, NO_PHASE = -1 };
enum { TAG_STATS = PHASES, TAG_STOP }; /* a phase's timer has its number */
/* The reasons up to BY_LONG are told to the peer in a bye line. */
enum { BY_SETUP, BY_IDLE, BY_SHUTDOWN, BY_LONG, BY_PEER, BY_RESET, BY_ERROR, REASONS };
static const char *const reason_name[REASONS] = {"setup", "idle",  "shutdown", "long",
                                                 "peer",  "reset", "error"};

struct conn {
    stimer_member member;
    int fd;
    int phase;        /* SETUP, IDLE or NO_PHASE */
    int64_t accepted; /* the tick of its accept */
    size_t len;       /* bytes of an unfinished line in buf */
    char buf[LINE_BYTES];
};

static running_timers timers;
static stimer_class phases[PHASES];
static const int phase_reason[PHASES] = {BY_SETUP, BY_IDLE};
static int ep, listener, listener_paused, limit_reported;
static long open_conns, accepted, lines, closed[REASONS];

/* Takes c out of its phase; the phase's timer stops with its last
 * connection. */
static void untrack(struct conn *c)
{
    if (c->phase != NO_PHASE)
        stimer_class_remove(&phases[c->phase], &c->member);
    c->phase = NO_PHASE;
}

/* Puts c at the tail of a phase, due its timeout from now: a renewal when
 * it stays in its phase. */
static void track(struct conn *c, int phase)
{
    if (c->phase != phase)
        untrack(c);
    c->phase = phase;
    stimer_class_renew(&phases[phase], &c->member);
}

/* Watches the listener again, or no longer: out of descriptors, the server
 * waits for a connection to close instead of retrying every pass. */
static void watch_listener(int on)
{
    struct epoll_event ev = {.events = EPOLLIN, .data.ptr = &listener};
    if (epoll_ctl(ep, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, listener, &ev) < 0)
        perror("idle_server: epoll_ctl on the listener");
    listener_paused = !on;
}

static void drop(struct conn *c, int reason, int64_t now)
{
    if (reason <= BY_LONG) {
        char bye[80];
        int n = snprintf(bye, sizeof bye, "bye %s %lld %lld %lld\n", reason_name[reason],
                         (long long)c->member.deadline, (long long)now, (long long)c->accepted);
        (void)send(c->fd, bye, (size_t)n, MSG_NOSIGNAL); /* closing anyway */
    }
    untrack(c);
    close(c->fd); /* which also takes it out of the epoll set */
    free(c);
    --open_conns;
    ++closed[reason];
    if (listener_paused)
        watch_listener(1);
}

/* A pass over a phase at tick now: the connections that are due close. */
static void expire(int phase, int64_t now)
{
    stimer_member *due;
    while ((due = stimer_class_expired(&phases[phase], now)) != NULL)
        drop(STIMER_CONTAINER_OF(due, struct conn, member), phase_reason[phase], now);
}

/* Reads once from c and echoes each whole line; the event loop comes back
 * for the rest. */
static void readable(struct conn *c)
{
    ssize_t n;
    do
        n = recv(c->fd, c->buf + c->len, sizeof c->buf - c->len, 0);
    while (n < 0 && errno == EINTR);
    int64_t now = TickGetCount();
    if (n < 0 && errno == EAGAIN)
        return;
    if (n <= 0) {
        drop(c, n == 0 ? BY_PEER : errno == ECONNRESET ? BY_RESET : BY_ERROR, now);
        return;
    }
    if (c->member.deadline <= now)
        return; /* read after its deadline: this wake-up's pass closes it */
    c->len += (size_t)n;
    char *start = c->buf, *end;
    while ((end = memchr(start, '\n', c->len - (size_t)(start - c->buf))) != NULL) {
        size_t size = (size_t)(end - start) + 1;
        ++lines;
        if (send(c->fd, start, size, MSG_NOSIGNAL) != (ssize_t)size) {
            drop(c, BY_ERROR, now); /* a peer that does not read its echoes */
            return;
        }
        start = end + 1;
    }
    if (start != c->buf) {
        /* The greeting moves c from SETUP to IDLE; any later line renews it. */
        track(c, IDLE);
        c->len -= (size_t)(start - c->buf);
        memmove(c->buf, start, c->len);
    } else if (c->len == sizeof c->buf) {
        drop(c, BY_LONG, now);
    }
}

static void accept_some(void)
{
    for (int i = 0; i < EVENTS; i++) {
        int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                /* Once until the backlog is cleared, not at every close. */
                if (!limit_reported)
                    perror("idle_server: not accepting until a connection closes");
                limit_reported = 1;
                watch_listener(0);
            } else if (errno == EAGAIN) {
                limit_reported = 0;
            } else if (errno != ECONNABORTED && errno != EINTR) {
                perror("idle_server: accept4");
            }
            return;
        }
        struct conn *c = malloc(sizeof *c);
        struct epoll_event ev = {.events = EPOLLIN, .data.ptr = c};
        if (!c || epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) < 0) {
            perror(c ? "idle_server: epoll_ctl" : "idle_server: malloc");
            free(c);
            close(fd);
            continue;
        }
        stimer_member_init(&c->member);
        c->fd = fd;
        c->phase = NO_PHASE;
        c->len = 0;
        track(c, SETUP);
        c->accepted = c->member.deadline - phases[SETUP].timeout;
        ++accepted;
        ++open_conns;
    }
}

static int open_descriptors(void)
{
    int n = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (readdir(dir))
        ++n;
    closedir(dir);
    return n;
}

static void print_stats(int64_t now)
{
    printf("stats: tick %lld, open %ld, accepted %ld, lines %ld, closed:", (long long)now,
           open_conns, accepted, lines);
    for (int r = 0; r < REASONS; r++)
        printf(" %s %ld", reason_name[r], closed[r]);
    printf("\n");
    fflush(stdout);
}

static int32_t option(const char *name, const char *value, long min, long max)
{
    char *end;
    long v = value ? strtol(value, &end, 10) : -1;
    if (!value || !*value || *end || v < min || v > max) {
        fprintf(stderr, "idle_server: %s needs a number from %ld to %ld, not '%s'%s\n", name, min,
                max, value ? value : "",
                max == MAX_TIMEOUT ? " (a timer must fire within 2^30 ticks)" : "");
        exit(2);
    }
    return (int32_t)v;
}

static int listen_on(int32_t port)
{
    struct sockaddr_in addr = {.sin_family = AF_INET,
                               .sin_port = htons((uint16_t)port),
                               .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t size = sizeof addr;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
        bind(fd, (struct sockaddr *)&addr, sizeof addr) < 0 || listen(fd, SOMAXCONN) < 0 ||
        getsockname(fd, (struct sockaddr *)&addr, &size) < 0) {
        perror("idle_server: listening on 127.0.0.1");
        exit(1);
    }
    printf("listening on 127.0.0.1:%d\n", ntohs(addr.sin_port));
    fflush(stdout);
    return fd;
}

int main(int argc, char **argv)
{
    int32_t port = 0, setup = 2000, idle = 10000, stats_period = 5000, run = 0;
    for (int i = 1; i < argc; i += 2) {
        const char *value = i + 1 < argc ? argv[i + 1] : NULL;
        if (!strcmp(argv[i], "--port"))
            port = option(argv[i], value, 0, 65535);
        else if (!strcmp(argv[i], "--setup"))
            setup = option(argv[i], value, 0, MAX_TIMEOUT);
        else if (!strcmp(argv[i], "--idle"))
            idle = option(argv[i], value, 0, MAX_TIMEOUT);
        else if (!strcmp(argv[i], "--stats"))
            stats_period = option(argv[i], value, 1, MAX_TIMEOUT);
        else if (!strcmp(argv[i], "--run"))
            run = option(argv[i], value, 0, MAX_TIMEOUT);
        else {
            fprintf(stderr, USAGE, MAX_TIMEOUT, LINE_BYTES);
            return 2;
        }
    }

    int descriptors = open_descriptors();
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, NULL);
    int sig = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);
    ep = epoll_create1(EPOLL_CLOEXEC);
    listener = listen_on(port);
    struct epoll_event ev = {.events = EPOLLIN, .data.ptr = &listener};
    struct epoll_event sev = {.events = EPOLLIN, .data.ptr = &sig};
    if (sig < 0 || ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev) < 0 ||
        epoll_ctl(ep, EPOLL_CTL_ADD, sig, &sev) < 0) {
        perror("idle_server");
        return 1;
    }

    stimer_init_running_timers(&timers);
    stimer_class_init(&phases[SETUP], &timers, setup, SETUP, NULL);
    stimer_class_init(&phases[IDLE], &timers, idle, IDLE, NULL);
    stimer stats, stop;
    stimer_init(&stats, TAG_STATS, NULL);
    stimer_init(&stop, TAG_STOP, NULL);
    int64_t stats_due = TickGetCount() + stats_period;
    stimer_start(&timers, &stats, stats_period);
    if (run > 0)
        stimer_start(&timers, &stop, run);

    int running = 1;
    while (running) {
        struct epoll_event events[EVENTS];
        int n = epoll_wait(ep, events, EVENTS, stimer_poll_timeout(&timers, TickGetCount()));
        if (n < 0 && errno != EINTR) {
            perror("epoll_wait");
            break;
        }
        for (int i = 0; i < n; i++) {
            if (events[i].data.ptr == &listener)
                accept_some();
            else if (events[i].data.ptr == &sig)
                running = 0;
            else
                readable(events[i].data.ptr);
        }
        stimer *t;
        while ((t = stimer_get_next_fired_timer(&timers)) != NULL) {
            int64_t now = TickGetCount();
            if (t->tag < PHASES) {
                expire(t->tag, now);
            } else if (t->tag == TAG_STATS) {
                print_stats(now);
                stats_due += stats_period;
                stimer_start(&timers, t, (int32_t)(stats_due - now));
            } else {
                running = 0;
            }
        }
    }

    int64_t now = TickGetCount();
    stimer_member *m;
    for (int p = 0; p < PHASES; p++)
        while ((m = stimer_class_expired(&phases[p], INT64_MAX)) != NULL)
            drop(STIMER_CONTAINER_OF(m, struct conn, member), BY_SHUTDOWN, now);
    stimer_kill(&timers, &stats);
    stimer_kill(&timers, &stop);
    print_stats(now);
    close(listener);
    close(ep);
    close(sig);
    int leaked = open_descriptors() - descriptors;
    int clean = open_conns == 0 && leaked == 0 && stimer_list_is_empty(&timers);
    printf("exit: %s; connections left %ld, descriptors leaked %d, timers %s\n",
           clean ? "clean" : "LEAKED", open_conns, leaked,
           stimer_list_is_empty(&timers) ? "none" : "still running");
    return clean ? 0 : 1;
}
