// FUSE server and private mount namespace of the sysfs GPIO stand-in.
#define FUSE_USE_VERSION 31
#include "SimGpioFs.h"

#include <fuse.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

const char kMountPoint[] = "/sys/class/gpio";

GpioFs* Server() { return static_cast<GpioFs*>(fuse_get_context()->private_data); }
GpioModel* Model() { return Server()->Model(); }

bool IsDir(GpioNode n) { return n == GpioNode::Root || n == GpioNode::PinDir; }

void* OpInit(fuse_conn_info*, fuse_config* cfg) {
    // Pins come and go with every export: the kernel must never cache names,
    // attributes or file contents.
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->direct_io = 1;
    return fuse_get_context()->private_data;
}

int OpGetattr(const char* path, struct stat* st, fuse_file_info*) {
    const GpioWhere w = Model()->Resolve(path);
    if (w.node == GpioNode::None) return -ENOENT;
    std::memset(st, 0, sizeof *st);
    if (IsDir(w.node)) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
    } else {
        const bool writeOnly = w.node == GpioNode::Export || w.node == GpioNode::Unexport;
        st->st_mode = S_IFREG | (writeOnly ? 0200 : 0644);
        st->st_nlink = 1;
        st->st_size = 4096;  // what sysfs reports for its attributes
    }
    return 0;
}

int OpReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags) {
    const GpioWhere w = Model()->Resolve(path);
    if (!IsDir(w.node)) return -ENOTDIR;
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const auto& name : Model()->List(w))
        fill(buf, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int OpOpen(const char* path, fuse_file_info* fi) {
    const GpioWhere w = Model()->Resolve(path);
    if (w.node == GpioNode::None) return -ENOENT;
    if (IsDir(w.node)) return -EISDIR;
    fi->direct_io = 1;
    fi->fh = w.node == GpioNode::Value ? Model()->OpenValue(w.pin) : 0;
    return 0;
}

int CopyOut(const std::string& text, char* buf, size_t size, off_t off) {
    if (off < 0 || static_cast<size_t>(off) >= text.size()) return 0;
    const size_t n = std::min(size, text.size() - static_cast<size_t>(off));
    std::memcpy(buf, text.data() + off, n);
    return static_cast<int>(n);
}

int OpRead(const char* path, char* buf, size_t size, off_t off, fuse_file_info* fi) {
    std::string text;
    if (fi->fh != 0 && off == 0) {  // sysfs renders (and acknowledges) at offset 0 only
        const int rc = Model()->ReadValue(fi->fh, &text);
        if (rc < 0) return rc;
    } else {
        text = Model()->Read(Model()->Resolve(path));
    }
    return CopyOut(text, buf, size, off);
}

int OpWrite(const char* path, const char* data, size_t size, off_t, fuse_file_info*) {
    const GpioWhere w = Model()->Resolve(path);
    if (w.node == GpioNode::None) return -ENODEV;  // the pin went away while open
    return Model()->Write(w, std::string(data, size));
}

// Shell redirections open with O_TRUNC; sysfs attributes ignore it.
int OpTruncate(const char*, off_t, fuse_file_info*) { return 0; }

int OpRelease(const char*, fuse_file_info* fi) {
    if (fi->fh != 0) {
        Server()->DropPollHandle(fi->fh);
        Model()->CloseValue(fi->fh);
    }
    return 0;
}

int OpPoll(const char*, fuse_file_info* fi, fuse_pollhandle* ph, unsigned* revents) {
    if (fi->fh == 0) {
        if (ph) fuse_pollhandle_destroy(ph);
        *revents = POLLIN | POLLRDNORM;
        return 0;
    }
    if (ph) Server()->KeepPollHandle(fi->fh, ph);
    *revents = Model()->PollValue(fi->fh, ph != nullptr);
    return 0;
}

fuse_operations Operations() {
    fuse_operations ops{};
    ops.init = OpInit;
    ops.getattr = OpGetattr;
    ops.readdir = OpReaddir;
    ops.open = OpOpen;
    ops.read = OpRead;
    ops.write = OpWrite;
    ops.truncate = OpTruncate;
    ops.release = OpRelease;
    ops.poll = OpPoll;
    return ops;
}

bool Fail(const char* what) {
    std::fprintf(stderr, "OrvelModuleSim: gpio stand-in: %s: %s%s\n", what, std::strerror(errno),
                 errno == EPERM ? " (needs root)" : "");
    return false;
}

// A mount namespace of our own whose mounts never propagate back, with a
// tmpfs over /sys/class so that an empty gpio directory can be made there.
bool PrivateSysClass() {
    if (unshare(CLONE_NEWNS) != 0) return Fail("unshare(CLONE_NEWNS)");
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return Fail("making / private");
    if (mount("orvel-sysclass", "/sys/class", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              "mode=0755") != 0)
        return Fail("tmpfs over /sys/class");
    if (mkdir(kMountPoint, 0755) != 0) return Fail(kMountPoint);
    return true;
}

}  // namespace

GpioFs::~GpioFs() { Unmount(); }

bool GpioFs::MountSysfs() {
    if (access("/dev/fuse", R_OK | W_OK) != 0) return Fail("/dev/fuse");
    if (!PrivateSysClass()) return false;
    char name[] = "OrvelModuleSim";
    char opt[] = "-o";
    char fsname[] = "fsname=orvel-gpio,subtype=orvel-gpio";
    char* argv[] = {name, opt, fsname, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    const fuse_operations ops = Operations();
    fuse_ = fuse_new(&args, &ops, sizeof ops, this);
    if (!fuse_) return Fail("fuse_new");
    if (fuse_mount(fuse_, kMountPoint) != 0) {
        fuse_destroy(fuse_);
        fuse_ = nullptr;
        return Fail("fuse_mount");
    }
    return true;
}

int GpioFs::Fd() const { return fuse_ ? fuse_session_fd(fuse_get_session(fuse_)) : -1; }

bool GpioFs::Serve() {
    if (!fuse_) return false;
    fuse_session* se = fuse_get_session(fuse_);
    fuse_buf b{};
    b.mem = buf_;
    const int rc = fuse_session_receive_buf(se, &b);
    buf_ = b.mem;
    if (rc == 0 || rc == -ENODEV) return false;  // unmounted
    if (rc < 0) return true;  // interrupted or withdrawn request
    fuse_session_process_buf(se, &b);
    NotifyWakes();
    return true;
}

void GpioFs::NotifyWakes() {
    for (uint64_t h : model_->TakeWakes()) {
        auto it = polls_.find(h);
        if (it == polls_.end()) continue;
        // One notification per registration: the kernel polls again and
        // hands us a fresh handle if it still waits.
        fuse_notify_poll(it->second);
        fuse_pollhandle_destroy(it->second);
        polls_.erase(it);
    }
}

void GpioFs::KeepPollHandle(uint64_t handle, fuse_pollhandle* ph) {
    DropPollHandle(handle);
    polls_[handle] = ph;
}

void GpioFs::DropPollHandle(uint64_t handle) {
    auto it = polls_.find(handle);
    if (it == polls_.end()) return;
    fuse_pollhandle_destroy(it->second);
    polls_.erase(it);
}

void GpioFs::Unmount() {
    if (!fuse_) return;
    for (auto& p : polls_) fuse_pollhandle_destroy(p.second);
    polls_.clear();
    fuse_unmount(fuse_);
    fuse_destroy(fuse_);
    fuse_ = nullptr;
    std::free(buf_);
    buf_ = nullptr;
}

}  // namespace sim
