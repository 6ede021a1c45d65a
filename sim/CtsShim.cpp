// CTS modem-line stand-in, preloaded into the gateway (LD_PRELOAD) when it
// runs against the module simulator: a pseudo-terminal has no modem lines, so
// TIOCMIWAIT and TIOCMGET on the simulator's pty slave are answered from the
// CTS line the simulator publishes on a Unix socket. Every other ioctl goes to
// the C library. Environment:
//   ORVEL_SIM_PTY     path of the slave (or a symlink to it); unset = any pty slave
//   ORVEL_CTS_SOCKET  the simulator's CTS socket (--cts-socket)
//   ORVEL_CTS_WAIT    "uart": the wait behaves as on a real serial driver, so
//                     neither cancelling the thread nor closing the
//                     descriptor ends it, only a CTS change, a signal (EINTR)
//                     or the simulator going away (EIO). Otherwise the wait
//                     is also a cancellation point and ends on close (EBADF).
// Under a sanitizer the runtime must stay first in LD_PRELOAD, e.g.
//   LD_PRELOAD="$(gcc -print-file-name=libasan.so) libOrvelCtsShim.so"
// (the e2e harness does this). The gateway binary contains none of it.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>
// Not <sys/ioctl.h>: its declaration of ioctl is noexcept, and a thread
// cancelled inside the wait must be able to unwind through ours.
#include <asm/ioctls.h>
#include <linux/termios.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);

std::atomic<int> g_lastCts{0};     // line state of the last event seen by any thread
thread_local int t_sock = -1;      // this thread's connection to the simulator
thread_local int t_cts = -1;       // state that ended this thread's last wait

// The C library's entry point of that name, looked up once per slot.
IoctlFn RealIoctl(std::atomic<IoctlFn>& slot, const char* name) {
    IoctlFn f = slot.load(std::memory_order_acquire);
    if (!f) {
        f = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, name));
        slot.store(f, std::memory_order_release);
    }
    return f;
}

bool IsSimPty(int fd) {
    struct stat s {};
    if (fstat(fd, &s) != 0 || !S_ISCHR(s.st_mode)) return false;
    const char* path = std::getenv("ORVEL_SIM_PTY");
    if (!path || !*path) return major(s.st_rdev) >= 136 && major(s.st_rdev) <= 143;
    struct stat p {};
    return stat(path, &p) == 0 && p.st_rdev == s.st_rdev;
}

int Connect() {
    const char* path = std::getenv("ORVEL_CTS_SOCKET");
    sockaddr_un a{};
    if (!path || std::strlen(path) >= sizeof a.sun_path) return -1;
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, path);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        s = -1;
    }
    return s;
}

bool LikeRealUart() {
    const char* mode = std::getenv("ORVEL_CTS_WAIT");
    return mode && std::strcmp(mode, "uart") == 0;
}

// A CTS thread that leaves its loop (a stop, a reload) is not cancelled, so
// its connection is closed by a thread-exit destructor; the key holds fd + 1.
pthread_key_t g_socketKey;
pthread_once_t g_socketKeyOnce = PTHREAD_ONCE_INIT;

void CloseAtThreadExit(void* value) {
    // close is a cancellation point; a cancel still pending must not act
    // while the thread is already ending.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    close(static_cast<int>(reinterpret_cast<intptr_t>(value)) - 1);
}
void MakeSocketKey() { pthread_key_create(&g_socketKey, CloseAtThreadExit); }

int ConnectForThisThread() {
    const int fd = Connect();
    if (fd >= 0) {
        pthread_once(&g_socketKeyOnce, MakeSocketKey);
        pthread_setspecific(g_socketKey, reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1));
    }
    return fd;
}

void CloseSocket(void*) {
    if (t_sock >= 0) {
        close(t_sock);
        pthread_setspecific(g_socketKey, nullptr);
    }
    t_sock = -1;
}

// Blocks until the simulator reports a change of its CTS line; a batch holding
// a raise counts as a raise, so a quick raise-and-drop is never missed.
// Ends with EIO when the simulator goes away and EINTR on a handled signal;
// unless `realUart`, also with EBADF when `fd` is closed, and it is a
// cancellation point.
int WaitOn(int fd, bool realUart) {
    if (t_sock < 0) t_sock = ConnectForThisThread();
    if (t_sock < 0) {
        errno = EIO;
        return -1;
    }
    int result = -1;
    pthread_cleanup_push(CloseSocket, nullptr);
    for (;;) {
        pollfd p{t_sock, POLLIN, 0};
        const int r = poll(&p, 1, realUart ? -1 : 100);  // cancellation point unless disabled
        if (!realUart && fcntl(fd, F_GETFD) == -1) {
            errno = EBADF;
            break;
        }
        if (r < 0 && errno == EINTR) break;
        if (r == 0) continue;
        char buf[64];
        const ssize_t n = r > 0 ? read(t_sock, buf, sizeof buf) : -1;
        if (n <= 0) {
            CloseSocket(nullptr);
            errno = EIO;
            break;
        }
        t_cts = std::memchr(buf, '1', static_cast<size_t>(n)) ? 1 : 0;
        g_lastCts.store(buf[n - 1] == '1', std::memory_order_relaxed);
        result = 0;
        break;
    }
    pthread_cleanup_pop(0);
    return result;
}

int WaitChange(int fd) {
    if (!LikeRealUart()) return WaitOn(fd, false);
    int previous = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    const int result = WaitOn(fd, true);
    const int saved = errno;
    pthread_setcancelstate(previous, nullptr);
    errno = saved;
    return result;
}

// Answers the modem-line requests on the simulator's pty; hands every other
// request to `real`.
int Ioctl(int fd, unsigned long request, void* arg, IoctlFn real) {
    if ((request == TIOCMIWAIT || request == TIOCMGET) && IsSimPty(fd)) {
        if (request == TIOCMIWAIT) return WaitChange(fd);
        int* bits = static_cast<int*>(arg);
        if (!bits) {
            errno = EFAULT;
            return -1;
        }
        const int cts = t_cts >= 0 ? t_cts : g_lastCts.load(std::memory_order_relaxed);
        *bits = TIOCM_DTR | TIOCM_RTS | TIOCM_DSR | (cts ? TIOCM_CTS : 0);
        return 0;
    }
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, arg);
}

std::atomic<IoctlFn> g_ioctl{nullptr};
std::atomic<IoctlFn> g_ioctl64{nullptr};

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return Ioctl(fd, request, arg, RealIoctl(g_ioctl, "ioctl"));
}

#if __SIZEOF_POINTER__ == 4
// A program built with a 64-bit time_t on a 32-bit target (the gateway on the
// board) calls the C library's ioctl under this name.
extern "C" int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return Ioctl(fd, request, arg, RealIoctl(g_ioctl64, "__ioctl_time64"));
}
#endif
