// Test helper: opens a pty slave and uses the CTS modem-line ioctls on it the
// way the gateway's CTS monitor does, printing what it sees. Run with the CTS
// shim preloaded.
//   sim_cts_probe SLAVE wait N   N changes: "change cts=0|1" each
//   sim_cts_probe SLAVE close    a wait ended by closing the descriptor
//   sim_cts_probe SLAVE cancel   a wait ended by cancelling the thread
//   sim_cts_probe SLAVE other    TIOCMGET on a pipe goes to the C library
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<int> g_fd{-1};
std::atomic<int> g_waitErrno{0};

void* WaitOnce(void*) {
    const int r = ioctl(g_fd.load(), TIOCMIWAIT, TIOCM_CTS);
    g_waitErrno.store(r == 0 ? 0 : errno);
    return nullptr;
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
