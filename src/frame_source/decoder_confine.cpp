// The walls around the decoder's processes, raised before either touches a frame. The decoder
// process keeps its channel alone, as descriptor 0, and may make no other descriptor; Landlock
// grants it no file-system right, reading included, no TCP, no signal to or abstract socket of any
// process outside it, and no ptrace; a memory limit keeps a hostile frame from exhausting the
// machine; and a seccomp allowlist lets through only what decoding needs: memory, futexes for the
// decoder's threads, its channel, and exit. Anything else fails with EPERM. The spawner, which
// reads nothing but the player's orders, keeps only its control socket.
// A kernel or an emulator without Landlock or seccomp leaves the other walls standing.
// Start reading at frame_decoder_confine().
#include <errno.h>
#include <fcntl.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

#include "decoder_process.h"
#include "landlock.h"
#include "walls.h"

// Ends with the process that forked it, however that one ends; then keeps `fd` alone, as 0.
static int keep_only(int fd)
{
    pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(0);  // the parent ended before the request took hold
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);  // Landlock and seccomp need it unprivileged
    if (!common_wall_up("decoder-fds"))
        return fd;
    if (fd != 0 && dup2(fd, 0) != 0)
        _exit(1);
    if (syscall(SYS_close_range, 1U, ~0U, 0U) != 0)  // Linux 5.9
        for (int other = 1; other < 1024; other++)
            close(other);
    return 0;
}

static void confine_landlock()
{
    if (common_wall_up("decoder-landlock"))
        common_landlock_restrict(common_landlock_everything(common_landlock_abi()));
}

int frame_spawner_confine(int control)
{
    return keep_only(control);
}

// The size of the address space now, in bytes, from a descriptor opened before Landlock.
static long mapped_bytes(int statm)
{
    char text[64] = "";
    long pages = 0;
    if (statm < 0 || pread(statm, text, sizeof text - 1, 0) <= 0 || sscanf(text, "%ld", &pages) != 1)
        return -1;
    return pages * sysconf(_SC_PAGESIZE);
}

static void limit(int resource, rlim_t most)
{
    rlimit limit = {most, most};
    setrlimit(resource, &limit);
}

// By name, with the 32-bit architectures' own (mmap2; the 64-bit-time calls of armhf and armel):
// a name that this architecture lacks is left out.
static const char *const DECODING_CALLS[] = {
    "brk", "mmap", "mmap2", "munmap", "mremap", "mprotect", "madvise",  // the decoder's and libc's memory
    "futex", "futex_time64", "sched_yield",                             // the decoder's threads
    "exit", "exit_group", "rt_sigreturn", "sigreturn", "rt_sigprocmask", "restart_syscall",
    "clock_gettime", "clock_gettime64", "clock_nanosleep", "clock_nanosleep_time64", "nanosleep",
    "gettimeofday", "getpid", "gettid",
};
static const char *const CHANNEL_CALLS[] = {"recvfrom", "sendto", "recv", "send"};

static bool allow(scmp_filter_ctx filter, const char *name, unsigned count = 0, scmp_arg_cmp cmp = {})
{
    int call = seccomp_syscall_resolve_name(name);
    return call == __NR_SCMP_ERROR || seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call, count, &cmp) == 0;
}

// On every thread (the decoder's own started in dvinit). The channel only through send and recv;
// a signal only to this process itself (abort()).
static void confine_seccomp(int channel)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!filter)
        return;
    bool built = seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1) == 0 &&
                 allow(filter, "tgkill", 1, SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(getpid())));
    for (const char *name : DECODING_CALLS)
        built = built && allow(filter, name);
    // Should libseccomp refuse to compare their arguments (where they may also go through
    // socketcall, as on 32-bit x86 and s390x), they are allowed on any descriptor: there is no other.
    for (const char *name : CHANNEL_CALLS)
        built = built && (allow(filter, name, 1, SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(channel))) ||
                          allow(filter, name));
    if (built)
        seccomp_load(filter);
    seccomp_release(filter);
}

// In the order that lets each step be done: Landlock before the decoder starts its threads, which
// then share its domain; the limits and seccomp once the decoder is open, as opening it makes
// threads and descriptors of its own.
int frame_decoder_confine(int channel)
{
    channel = keep_only(channel);
    int statm = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    confine_landlock();
    dvinit();
    long mapped = mapped_bytes(statm);
    close(statm);
    if (common_wall_up("decoder-nofile"))
        limit(RLIMIT_NOFILE, static_cast<rlim_t>(channel) + 1);
    if (common_wall_up("decoder-memory") && mapped > 0)
        limit(RLIMIT_AS, static_cast<rlim_t>(mapped + DECODER_MEMORY_ROOM));
    if (common_wall_up("decoder-seccomp"))
        confine_seccomp(channel);
    return channel;
}
