// The player's confinement: once the window is open and before the first frame is decoded, the
// process gives up, for the rest of its run, every way of changing the user's files, of running a
// program and of reaching the network. Frames are decoded in a process of their own
// (src/frame_source/decoder_process.cpp); this is the second wall, for code of the player's own.
// The player needs none of it after start-up: it only reads its file and talks to the display over
// Unix sockets. Start reading at player_confine().
//
// What confinement from inside the process cannot stop: descriptors opened before it stay usable.
// Under X11 a client can talk to the X server and, through it, to other X clients, and SDL 2 may
// hold a D-Bus connection. Landlock confines the calling thread and the threads it starts later;
// a thread that a library started during start-up stays outside it (seccomp's filter covers every
// thread).
#include <errno.h>
#include <fcntl.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>

#include "landlock.h"
#include "player.h"
#include "walls.h"

// Every right that writes or executes, and the scopes and TCP as far as the running kernel's ABI
// knows them. Reading files and directories is not handled, so it stays allowed: SDL and its
// drivers still load modules and read settings. Nor is ioctl on devices (ABI 5): SDL, X and Mesa
// may ask theirs. A kernel without Landlock leaves the filter below on its own.
static void confine_landlock()
{
    LandlockRules rules = common_landlock_everything(common_landlock_abi());
    rules.fs &= ~(LANDLOCK_FS_READ | LANDLOCK_FS_IOCTL_DEV);
    common_landlock_restrict(rules);
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
    if (common_wall_up("player-landlock"))
        confine_landlock();
    if (common_wall_up("player-seccomp"))
        confine_seccomp();
}
