// Pseudo-terminal pair and CTS line socket of the simulator.
#include "SimPty.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

bool MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

Pty::~Pty() { Close(); }

bool Pty::Open(const std::string& symlinkPath) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        std::perror("posix_openpt");
        return false;
    }
    const char* name = ptsname(master_);
    if (!name) return false;
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0 || !MakeRaw(master_) || !MakeRaw(slave_)) {
        std::perror("pty slave");
        return false;
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    if (!symlinkPath.empty()) {
        unlink(symlinkPath.c_str());
        if (symlink(name, symlinkPath.c_str()) != 0) {
            std::perror("symlink");
            return false;
        }
        link_ = symlinkPath;
    }
    return true;
}

void Pty::Close() {
    CloseFd(master_);
    CloseFd(slave_);
    if (!link_.empty()) unlink(link_.c_str());
    link_.clear();
}

CtsLine::~CtsLine() { Close(); }

bool CtsLine::Listen(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) return false;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    unlink(path.c_str());
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listen_, 16) != 0) {
        std::perror("cts socket");
        return false;
    }
    path_ = path;
    return true;
}

size_t CtsLine::AcceptAll() {
    size_t n = 0;
    for (;; ++n) {
        int c = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0) return n;
        clients_.push_back(c);
    }
}

void CtsLine::Publish(bool set) {
    const char b = set ? '1' : '0';
    std::vector<int> alive;
    for (int c : clients_) {
        if (send(c, &b, 1, MSG_NOSIGNAL) == 1) {
            alive.push_back(c);
        } else {
            close(c);
        }
    }
    clients_.swap(alive);
}

void CtsLine::Close() {
    for (int& c : clients_) CloseFd(c);
    clients_.clear();
    CloseFd(listen_);
    if (!path_.empty()) unlink(path_.c_str());
    path_.clear();
}

}  // namespace sim
