// The simulator's sysfs GPIO stand-in: serves a GpioModel over FUSE at
// /sys/class/gpio inside a private mount namespace (a tmpfs over /sys/class),
// so the gateway runs unchanged in its "gpio" CTS mode while nothing outside
// the namespace sees the stand-in. A process joins it through
// /proc/<simulator pid>/ns/mnt. Requests are served from the simulator's own
// poll loop; there is no thread here.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "SimGpioModel.h"

struct fuse;
struct fuse_pollhandle;

namespace sim {

class GpioFs {
public:
    explicit GpioFs(GpioModel* model) : model_(model) {}
    ~GpioFs();
    GpioFs(const GpioFs&) = delete;
    GpioFs& operator=(const GpioFs&) = delete;

    // Moves this process into a private mount namespace and mounts the stand-in
    // at /sys/class/gpio. Needs root and /dev/fuse; false with a message on
    // stderr otherwise. Call before any other thread exists.
    bool MountSysfs();
    // Descriptor to poll for requests; -1 when not mounted.
    int Fd() const;
    // Serves one waiting request, then wakes pollers whose state changed.
    // False once the kernel ended the connection.
    bool Serve();
    // Wakes pollers after the model was changed from outside a request.
    void NotifyWakes();
    void Unmount();

    // Called by the FUSE operations of this module.
    GpioModel* Model() { return model_; }
    void KeepPollHandle(uint64_t handle, fuse_pollhandle* ph);
    void DropPollHandle(uint64_t handle);

private:
    GpioModel* model_;
    fuse* fuse_ = nullptr;
    void* buf_ = nullptr;  // request buffer, allocated by libfuse with malloc
    std::map<uint64_t, fuse_pollhandle*> polls_;
};

}  // namespace sim
