// Preloaded into the real player by the hostile-decoder test (robustness_e2e_test.cpp): a stand-in
// for a decoder that a hostile file has taken over. At the first call of avcodec_send_packet and
// at the 60th it tries what such a payload would, then decodes as usual. Each attempt's outcome
// goes to standard error, already open before any confinement, as one line:
//   decode N: create E append E remove E exec E tcp E ptrace E thread E
// where E is "ok" or the name of the error that stopped it; "thread" is a file created by a thread
// started at load, before the player confines itself, as libraries' threads are (Mesa's).
// HOSTILE_DIR holds "existing" (appended to) and "doomed.N" (removed); "created.N" and "early.N"
// are made there.
// HOSTILE_PORT is a TCP listener's on 127.0.0.1, HOSTILE_PID another process of the user.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <semaphore.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
struct AVCodecContext;
struct AVPacket;
int avcodec_send_packet(AVCodecContext *codec, const AVPacket *packet);
}

static const char *outcome(bool done)
{
    return done ? "ok" : strerrorname_np(errno);
}

static bool write_all(int fd, const char *text)
{
    ssize_t n = fd >= 0 ? write(fd, text, strlen(text)) : -1;
    int saved = errno;
    if (fd >= 0)
        close(fd);
    errno = saved;
    return n > 0;
}

static bool run_true()
{
    extern char **environ;
    const char *argv[] = {"/bin/true", nullptr};
    pid_t pid;
    int error = posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ);
    int status = 0;
    errno = error;  // glibc's posix_spawn returns the exec's own error
    return error == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

static bool send_tcp(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }
    return write_all(fd, "hostile\n");
}

static bool attach(pid_t pid)
{
    if (ptrace(PTRACE_ATTACH, pid, nullptr, nullptr) != 0)
        return false;
    waitpid(pid, nullptr, __WALL);  // stopped: let it go again at once
    ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
    return true;
}

static sem_t early_go, early_done;  // to the early thread and back
static bool early_started;
static std::string early_path;
static bool early_created;
static int early_errno;

// Ends after the second attempt: LeakSanitizer, ptrace-ing from inside the player's Landlock
// domain at exit, could not stop a thread left outside it.
static void *early_thread(void *)
{
    for (int attempts = 0; attempts < 2; attempts++) {
        while (sem_wait(&early_go) != 0) {
        }
        early_created = write_all(open(early_path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600), "x");
        early_errno = errno;
        sem_post(&early_done);
    }
    return nullptr;
}

__attribute__((constructor)) static void start_early_thread()
{
    pthread_t thread;
    early_started = sem_init(&early_go, 0, 0) == 0 && sem_init(&early_done, 0, 0) == 0 &&
                    pthread_create(&thread, nullptr, early_thread, nullptr) == 0;
    if (early_started)
        pthread_detach(thread);
}

static bool create_early(const std::string &path)
{
    errno = ESRCH;
    if (!early_started)
        return false;
    early_path = path;
    sem_post(&early_go);
    while (sem_wait(&early_done) != 0) {
    }
    errno = early_errno;
    return early_created;
}

static void attempt(long decode)
{
    const char *dir_env = getenv("HOSTILE_DIR"), *port = getenv("HOSTILE_PORT"), *pid = getenv("HOSTILE_PID");
    if (!dir_env || !port || !pid)
        return;
    std::string dir = dir_env, n = std::to_string(decode), line = "decode " + n + ":";
    auto note = [&line](const char *what, bool done) {
        const char *result = outcome(done);  // before anything else can touch errno
        line = line + " " + what + " " + result;
    };
    note("create", write_all(open((dir + "/created." + n).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600), "x"));
    note("append", write_all(open((dir + "/existing").c_str(), O_WRONLY | O_APPEND), "hostile\n"));
    note("remove", unlink((dir + "/doomed." + n).c_str()) == 0);
    note("exec", run_true());
    note("tcp", send_tcp(atoi(port)));
    note("ptrace", attach(atoi(pid)));
    note("thread", create_early(dir + "/early." + n));
    line += "\n";
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

extern "C" int avcodec_send_packet(AVCodecContext *codec, const AVPacket *packet)
{
    using Send = int (*)(AVCodecContext *, const AVPacket *);
    static Send real = reinterpret_cast<Send>(dlsym(RTLD_NEXT, "avcodec_send_packet"));
    static long decodes;
    if (!real)
        abort();
    if (++decodes == 1 || decodes == 60)
        attempt(decodes);
    return real(codec, packet);
}
