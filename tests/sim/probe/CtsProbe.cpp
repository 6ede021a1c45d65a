// Test helper: opens a pty slave and uses the CTS modem-line ioctls on it the
// way the gateway's CTS monitor does, printing what it sees. Run with the CTS
// shim preloaded.
//   sim_cts_probe SLAVE wait N   N changes: "change cts=0|1" each
//   sim_cts_probe SLAVE close    a wait ended by closing the descriptor
//   sim_cts_probe SLAVE cancel   a wait ended by cancelling the thread
//   sim_cts_probe SLAVE stubborn cancels the waiting thread and closes the
//                                descriptor, reports whether it still waits,
//                                then interrupts it with a signal
//   sim_cts_probe SLAVE other    TIOCMGET on a pipe goes to the C library
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<int> g_fd{-1};
std::atomic<int> g_waitErrno{0};
std::atomic<bool> g_waitDone{false};

void* WaitOnce(void*) {
    const int r = ioctl(g_fd.load(), TIOCMIWAIT, TIOCM_CTS);
    g_waitErrno.store(r == 0 ? 0 : errno);
    g_waitDone.store(true);
    return nullptr;
}

void Ignore(int) {}

// Neither a cancel nor a close may end the wait; a thread-directed signal,
// whose handler is installed without SA_RESTART, must.
int Stubborn(pthread_t t, int fd) {
    struct sigaction a {};
    a.sa_handler = Ignore;
    sigaction(SIGUSR2, &a, nullptr);
    pthread_cancel(t);
    close(fd);
    usleep(300 * 1000);  // the default wait would have seen the close by now
    std::printf("%s\n", g_waitDone.load() ? "wait ended" : "still waiting");
    for (int i = 0; i < 500 && !g_waitDone.load(); ++i) {
        pthread_kill(t, SIGUSR2);
        usleep(10 * 1000);
    }
    void* res = nullptr;
    pthread_join(t, &res);
    std::printf("interrupted errno=%s %s\n", std::strerror(g_waitErrno.load()),
                res == PTHREAD_CANCELED ? "cancelled" : "not cancelled");
    return 0;
}

int WaitChanges(int fd, int n) {
    for (int i = 0; i < n; ++i) {
        if (ioctl(fd, TIOCMIWAIT, TIOCM_CTS) != 0) {
            std::printf("wait failed: %s\n", std::strerror(errno));
            return 1;
        }
        int bits = 0;
        if (ioctl(fd, TIOCMGET, &bits) != 0) return 1;
        std::printf("change cts=%d\n", (bits & TIOCM_CTS) ? 1 : 0);
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) return 3;
    g_fd.store(fd);
    const char* mode = argv[2];
    if (!std::strcmp(mode, "wait")) return WaitChanges(fd, argc > 3 ? std::atoi(argv[3]) : 1);
    if (!std::strcmp(mode, "other")) {
        int p[2];
        int bits = 0;
        if (pipe(p) != 0) return 4;
        const int r = ioctl(p[0], TIOCMGET, &bits);
        std::printf("pipe TIOCMGET r=%d errno=%s\n", r, r ? std::strerror(errno) : "0");
        return 0;
    }
    pthread_t t;
    pthread_create(&t, nullptr, WaitOnce, nullptr);
    usleep(300 * 1000);  // let the thread block in the wait
    if (!std::strcmp(mode, "stubborn")) return Stubborn(t, fd);
    if (!std::strcmp(mode, "close")) {
        close(fd);
        pthread_join(t, nullptr);
        std::printf("wait ended errno=%s\n", std::strerror(g_waitErrno.load()));
    } else {
        pthread_cancel(t);
        void* res = nullptr;
        pthread_join(t, &res);
        std::printf("%s\n", res == PTHREAD_CANCELED ? "cancelled" : "not cancelled");
    }
    return 0;
}
