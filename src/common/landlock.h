// Landlock, the kernel's unprivileged access control, through its system calls (glibc has no
// wrappers): the rights each ABI version knows, and one restriction of the calling thread and the
// threads and processes it starts later. Debian 12's kernel headers stop at ABI 2, so every right
// comes from the kernel's stable interface (include/uapi/linux/landlock.h) by value.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

constexpr uint64_t LANDLOCK_FS_ABI1 = (1ULL << 13) - 1;  // execute, write, read, read dir, remove, make
constexpr uint64_t LANDLOCK_FS_READ = (1ULL << 2) | (1ULL << 3);  // reading files, listing directories
constexpr uint64_t LANDLOCK_FS_REFER = 1ULL << 13;      // ABI 2: renaming or linking across directories
constexpr uint64_t LANDLOCK_FS_TRUNCATE = 1ULL << 14;   // ABI 3
constexpr uint64_t LANDLOCK_FS_IOCTL_DEV = 1ULL << 15;  // ABI 5: ioctl on devices
constexpr uint64_t LANDLOCK_NET_TCP = 3;                // ABI 4: bind and connect
constexpr uint64_t LANDLOCK_SCOPES = 3;                 // ABI 6: abstract Unix sockets, signals

struct LandlockRules {  // struct landlock_ruleset_attr as of ABI 6; older kernels take it with the fields they lack zero
    uint64_t fs;
    uint64_t net;
    uint64_t scoped;
};

// 0 where the kernel has no Landlock (ENOSYS), or has it built in but off (EOPNOTSUPP).
inline int common_landlock_abi()
{
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U);  // 1: LANDLOCK_CREATE_RULESET_VERSION
    return abi < 1 ? 0 : static_cast<int>(abi);
}

// Every right and scope that the ABI knows: with no rule added, none of them is granted anywhere.
inline LandlockRules common_landlock_everything(int abi)
{
    LandlockRules rules = {};
    if (abi < 1)
        return rules;
    rules.fs = LANDLOCK_FS_ABI1 | (abi >= 2 ? LANDLOCK_FS_REFER : 0) | (abi >= 3 ? LANDLOCK_FS_TRUNCATE : 0) |
               (abi >= 5 ? LANDLOCK_FS_IOCTL_DEV : 0);
    rules.net = abi >= 4 ? LANDLOCK_NET_TCP : 0;
    rules.scoped = abi >= 6 ? LANDLOCK_SCOPES : 0;
    return rules;
}

// The domain also keeps the caller from ptrace-ing any process outside it. Needs PR_SET_NO_NEW_PRIVS.
inline bool common_landlock_restrict(LandlockRules rules)
{
    if (rules.fs == 0)
        return false;
    long ruleset = syscall(SYS_landlock_create_ruleset, &rules, sizeof rules, 0);
    if (ruleset < 0)
        return false;
    bool done = syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    close(static_cast<int>(ruleset));
    return done;
}
