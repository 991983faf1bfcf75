// The player's confinement: once the window is open and before the first frame is decoded, the
// process gives up, for the rest of its run, every way of changing the user's files, of running a
// program and of reaching the network, so that a hostile file that takes over the decoder gets
// none of them. The player needs none after start-up: it only reads its file and talks to the
// display over Unix sockets. Start reading at player_confine().
//
// What confinement from inside the process cannot stop: descriptors opened before it stay usable.
// Under X11 a hostile file can still talk to the X server and, through it, to other X clients
// (Wayland isolates clients from each other), and SDL 2 may hold a D-Bus connection. Landlock
// confines the calling thread and the threads it starts later; a thread that a library started
// during start-up stays outside it (seccomp's filter covers every thread).
#include <errno.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>

#include "player.h"

// Landlock through its system calls, as glibc has no wrappers. Debian 12's kernel headers stop at
// ABI 2: the later rights come from the kernel's stable interface (include/uapi/linux/landlock.h).
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)  // ABI 3
#endif
constexpr uint64_t NET_BIND_TCP = 1ULL << 0;              // ABI 4
constexpr uint64_t NET_CONNECT_TCP = 1ULL << 1;           // ABI 4
constexpr uint64_t SCOPE_ABSTRACT_UNIX_SOCKET = 1ULL << 0;  // ABI 6
constexpr uint64_t SCOPE_SIGNAL = 1ULL << 1;              // ABI 6

struct RulesetAttr {  // struct landlock_ruleset_attr as of ABI 6; an older kernel takes it with the fields it lacks zero
    uint64_t handled_access_fs;
    uint64_t handled_access_net;
    uint64_t scoped;
};

// Every right that writes or executes, as far as the running kernel's ABI knows them. Reading files
// and directories is not handled, so it stays allowed: SDL and its drivers still load modules and
// read settings. Nor is ioctl on devices (ABI 5): SDL, X and Mesa may ask theirs.
static RulesetAttr landlock_rules(int abi)
{
    RulesetAttr attr = {};
    attr.handled_access_fs = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                             LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
                             LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR |
                             LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK |
                             LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
                             LANDLOCK_ACCESS_FS_MAKE_SYM;
    if (abi >= 2)
        attr.handled_access_fs |= LANDLOCK_ACCESS_FS_REFER;  // renaming or linking across directories
    if (abi >= 3)
        attr.handled_access_fs |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 4)
        attr.handled_access_net = NET_BIND_TCP | NET_CONNECT_TCP;
    if (abi >= 6)  // no signal to, and no abstract Unix socket of, any process outside the domain
        attr.scoped = SCOPE_ABSTRACT_UNIX_SOCKET | SCOPE_SIGNAL;
    return attr;
}

// With no rule added, none of the handled rights is granted anywhere. The domain also keeps this
// thread and its children from ptrace-ing any process outside it. A kernel without Landlock
// (ENOSYS, or EOPNOTSUPP when it is built in but off) leaves the filter below on its own.
static void confine_landlock()
{
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1)
        return;
    RulesetAttr attr = landlock_rules(static_cast<int>(abi));
    long ruleset = syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0);
    if (ruleset < 0)
        return;
    syscall(SYS_landlock_restrict_self, ruleset, 0);
    close(static_cast<int>(ruleset));
}

// Calls that change the file system by name, denied outright. With the opens for writing below,
// this says for every thread and on every kernel what Landlock's rights say for this thread and
// the threads it starts (chmod and chown, which Landlock leaves alone, too). A library's thread
// started before the confinement, such as Mesa's shader-cache writer under SDL 2, is outside the
// Landlock domain but not outside this filter.
static const char *const PATH_CHANGES[] = {
    "creat", "mkdir", "mkdirat", "mknod", "mknodat", "rmdir", "unlink", "unlinkat", "rename", "renameat",
    "renameat2", "link", "linkat", "symlink", "symlinkat", "truncate", "chmod", "fchmodat", "fchmodat2",
    "chown", "lchown", "fchownat",
    "execve", "execveat",  // no program run
    "openat2",            // its flags are in memory, out of a filter's sight; libc opens with openat
    "open_by_handle_at",  // an open by file handle, for privileged users
    "io_uring_setup",     // io_uring's operations (open, socket, rename...) would pass by every rule here
};

static bool deny(scmp_filter_ctx filter, int call, unsigned count, scmp_arg_cmp cmp = {})
{
    return seccomp_rule_add_array(filter, SCMP_ACT_ERRNO(EACCES), call, count, &cmp) == 0;
}

// An open for writing, or one that creates or truncates, by the flags in argument `arg`.
static bool deny_writing_opens(scmp_filter_ctx filter, int call, unsigned arg)
{
    bool done = true;
    for (uint64_t flag : {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC})  // O_TMPFILE needs one of the first two
        done = done && deny(filter, call, 1, {arg, SCMP_CMP_MASKED_EQ, flag, flag});
    return done;
}

// Also what Landlock cannot say on every kernel (TCP only from ABI 4, nothing at all without it):
// no socket of any family but AF_UNIX (the display's), so no network of any protocol. Denied calls
// fail with EACCES and the process goes on. A call made through another architecture's entry
// (x86's int 0x80) still kills the process, as libseccomp's default: the player makes none, and
// allowing them would open the filter.
static void confine_seccomp()
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (!filter)
        return;
    bool built = seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1) == 0 &&  // every thread
                 deny(filter, SCMP_SYS(socket), 1, SCMP_A0(SCMP_CMP_NE, AF_UNIX)) &&
                 deny(filter, SCMP_SYS(socketpair), 1, SCMP_A0(SCMP_CMP_NE, AF_UNIX)) &&
                 deny_writing_opens(filter, SCMP_SYS(open), 1) && deny_writing_opens(filter, SCMP_SYS(openat), 2);
    for (const char *name : PATH_CHANGES) {  // by name: older kernel headers lack the newer calls
        int call = seccomp_syscall_resolve_name(name);
        built = built && (call == __NR_SCMP_ERROR || deny(filter, call, 0));  // unknown to the library: none to deny
    }
    if (built)
        seccomp_load(filter);
    seccomp_release(filter);
}

// Best effort, and silent: whatever the kernel refuses, the player plays on as before.
void player_confine()
{
    // Both mechanisms need it unprivileged; it also keeps set-user-ID programs from gaining rights.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return;
    confine_landlock();
    confine_seccomp();
}
