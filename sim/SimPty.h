// The simulator's end of the serial line: a pseudo-terminal pair whose master
// the simulator plays, and the Unix socket on which it publishes its CTS line
// to the modem-line shim preloaded into the gateway.
#pragma once

#include <string>
#include <vector>

namespace sim {

class Pty {
public:
    ~Pty();
    // Opens the pair, makes both ends raw, keeps a slave descriptor open so the
    // master never reads EIO between the gateway's opens, and optionally links
    // `symlinkPath` to the slave. False with a message on stderr on failure.
    bool Open(const std::string& symlinkPath);
    // Closes both ends and removes the symlink (the vanished device).
    void Close();
    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_, link_;
};

class CtsLine {
public:
    ~CtsLine();
    // Listens on a Unix stream socket at `path` (replacing a stale file).
    bool Listen(const std::string& path);
    int ListenFd() const { return listen_; }
    // Accepts every waiting client; returns how many were accepted.
    size_t AcceptAll();
    // Sends '1' (CTS set) or '0' (CTS clear) to every client; dead ones are dropped.
    void Publish(bool set);
    size_t Clients() const { return clients_.size(); }
    void Close();

private:
    int listen_ = -1;
    std::vector<int> clients_;
    std::string path_;
};

}  // namespace sim
