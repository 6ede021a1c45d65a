// Option parsing and help of the module simulator.
#include "SimOptions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

const char kHelp[] =
    "OrvelModuleSim: plays the mesh-radio module on a pseudo-terminal.\n"
    "The first stdout line is the slave path for the gateway's uart setting.\n"
    "\n"
    "Options:\n"
    "  --link PATH           also make PATH a symlink to the slave (removed at exit)\n"
    "  --log FILE            log to FILE instead of stderr, flushed per line:\n"
    "                          'rx <hex>'  a frame the gateway wrote (lowercase hex)\n"
    "                          'rx-partial <hex>' bytes dropped after 100 ms of silence\n"
    "                          'tx <hex>'  bytes the simulator wrote to the pty\n"
    "                          'cts 1' / 'cts 0'  CTS raised / dropped\n"
    "                          'cts-client N'  a shim connected, N connections now\n"
    "  --cts-socket PATH     publish the CTS line on a Unix socket: every client gets\n"
    "                        '1' when CTS is raised and '0' when it drops\n"
    "  --nodes N             mesh size, node 0 is the module's own node (default 4)\n"
    "  --first-node ID       id of node 0, the others follow (default 0x0101)\n"
    "  --seed N              seed of every random choice (default 1)\n"
    "  --rate N              spontaneous reports per second, 0 = none (default 0):\n"
    "                        0x52..0x55 data, now and then 0x61, 0x56, 0x57\n"
    "  --neighbors-39        neighbour list replies with L = 39 instead of 36\n"
    "  --seq-noise           random top 4 bits in sequence number fields\n"
    "  --cts-interval-ms N   raise CTS every N ms (default 100; 0 = only when ready)\n"
    "  --no-cts              never raise CTS\n"
    "  --gap-ms N            quiet gap between own frames and a CTS raise, both ways\n"
    "                        (default 20)\n"
    "  --piece-bytes N       write frames in pieces of at most N bytes, back to back,\n"
    "                        as a UART's FIFO hands bytes over; the periodic CTS then\n"
    "                        comes between two pieces of the next frame (at once on an\n"
    "                        idle line) and drops after half its interval (use with\n"
    "                        --gap-ms 0); real-time priority where allowed (else the\n"
    "                        log line 'realtime-refused REASON')\n"
    "  --no-answer           do not answer commands\n"
    "  --fault KIND          on every report: garbage (random bytes before it),\n"
    "                        split (written in two halves with a pause),\n"
    "                        bad-header (0x50 0x05 before it), unknown (an unknown\n"
    "                        opcode frame instead)\n"
    "  --fault-every K       apply the fault to every K-th report only (default 1)\n"
    "  --garbage-bytes N     bytes of garbage per fault (default 8)\n"
    "  --split-pause-ms N    pause inside a split frame (default 150)\n"
    "  --flood OPCODE        write frames of OPCODE (hex) as fast as the pty takes them\n"
    "  --flood-count N       how many (default 1000); 'flood: ...' report on stderr\n"
    "  --vanish-after-ms N   close the pty after N ms and exit (vanished device)\n"
    "  --gpio-sysfs          serve a sysfs GPIO stand-in at /sys/class/gpio in a private\n"
    "                        mount namespace (root and /dev/fuse needed); a process\n"
    "                        joins it through /proc/<pid>/ns/mnt, e.g. with\n"
    "                        nsenter --mount=/proc/<pid>/ns/mnt --wd=$PWD ...\n"
    "                        The CTS line drives the pin: raised = level 0 (so\n"
    "                        clear-to-send is a falling edge), dropped = level 1.\n"
    "                        Log lines: 'gpio-write FILE TEXT' (line ends shown as\n"
    "                        \\n; refused: '... refused ERRNO'), 'gpio-level PIN 0|1',\n"
    "                        'gpio-event PIN' (an edge matching the edge setting),\n"
    "                        'gpio-poll PIN event' (a poll told of an event),\n"
    "                        'gpio-wait PIN' (a poll found none and now sleeps),\n"
    "                        'gpio-read PIN 0|1' (a read of value, acknowledging)\n"
    "  --gpio-pin N          the pin the CTS line drives (default 4)\n"
    "  --gpio-fault KIND     unexport (file missing), export (refused, EBUSY),\n"
    "                        direction (refused, EIO), edge (refused, EIO), value\n"
    "                        (file missing), no-edges (levels change, no events)\n"
    "  --script FILE         control lines (below) run at start\n"
    "  --stdin-frames        control lines from stdin\n"
    "  --help                this text\n"
    "\n"
    "Control lines: hex bytes (spaces allowed) written raw to the pty; 'pause N'\n"
    "sleeps N ms; 'cts' raises CTS for 5 ms; 'hold' raises it until 'drop'; 'drop'\n"
    "drops it; 'gpio-fault KIND' switches the stand-in's fault ('none' ends it);\n"
    "'gpio-unexport' unexports the CTS pin as another process would; 'vanish'\n"
    "closes the pty and exits; empty lines and '#' comments are skipped.\n"
    "\n"
    "Answers: 0x08 -> 0x58 of node 0; 0x09 -> 0x59 with node 0's neighbours;\n"
    "0x03 -> 0x50 for a node of the mesh, 0x51 for any other id; 0x02 -> nothing;\n"
    "0x0A -> 0x5A echoing node, command and payload; 0x0C -> 0x5C with node ids;\n"
    "0x10, 0x20 -> 0x60 with the command byte as status; 0x11 -> 0x60 status 0 when\n"
    "the uid belongs to a mesh node, else 1. Malformed commands and other opcodes\n"
    "are logged only. After each command CTS is raised again (ready), never within\n"
    "the quiet gap after the simulator's last write. SIGINT/SIGTERM stop cleanly.\n";

bool Number(const char* s, unsigned long* v, int base = 0) {
    char* end = nullptr;
    *v = std::strtoul(s, &end, base);
    return *s && end && *end == '\0';
}

bool SetFault(const char* s, Options* o) {
    if (!std::strcmp(s, "garbage")) o->fault = Fault::Garbage;
    else if (!std::strcmp(s, "split")) o->fault = Fault::Split;
    else if (!std::strcmp(s, "bad-header")) o->fault = Fault::BadHeader;
    else if (!std::strcmp(s, "unknown")) o->fault = Fault::Unknown;
    else return false;
    return true;
}

// Options that take a value; false when the value is bad.
bool ValueOption(const char* name, const char* val, Options* o) {
    unsigned long v = 0;
    std::string n = name;
    if (n == "--link") o->link = val;
    else if (n == "--log") o->logPath = val;
    else if (n == "--cts-socket") o->ctsSocket = val;
    else if (n == "--script") o->scriptPath = val;
    else if (n == "--fault") return SetFault(val, o);
    else if (n == "--gpio-fault") return ParseGpioFault(val, &o->gpioFault);
    else if (n == "--flood") {
        if (!Number(val, &v, 16) || v > 255) return false;
        o->floodOpcode = static_cast<int>(v);
        if (!o->floodCount) o->floodCount = 1000;
    } else if (!Number(val, &v)) return false;
    else if (n == "--nodes") o->mesh.nodeCount = static_cast<unsigned>(v);
    else if (n == "--first-node") o->mesh.firstNodeId = static_cast<uint16_t>(v);
    else if (n == "--seed") o->mesh.seed = static_cast<uint32_t>(v);
    else if (n == "--rate") o->rate = static_cast<unsigned>(v);
    else if (n == "--cts-interval-ms") o->ctsIntervalMs = static_cast<int>(v);
    else if (n == "--gap-ms") o->gapMs = static_cast<int>(v);
    else if (n == "--piece-bytes") o->pieceBytes = static_cast<unsigned>(v);
    else if (n == "--fault-every") o->faultEvery = v ? static_cast<unsigned>(v) : 1;
    else if (n == "--garbage-bytes") o->garbageBytes = static_cast<unsigned>(v);
    else if (n == "--split-pause-ms") o->splitPauseMs = static_cast<int>(v);
    else if (n == "--flood-count") o->floodCount = v;
    else if (n == "--vanish-after-ms") o->vanishAfterMs = static_cast<int>(v);
    else if (n == "--gpio-pin" && v <= 1023) o->gpioPin = static_cast<int>(v);
    else return false;
    return true;
}

}  // namespace

int ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (a == "--neighbors-39") o->mesh.neighborList39 = true;
        else if (a == "--seq-noise") o->mesh.seqNoise = true;
        else if (a == "--no-cts") o->noCts = true;
        else if (a == "--no-answer") o->answer = false;
        else if (a == "--stdin-frames") o->stdinFrames = true;
        else if (a == "--gpio-sysfs") o->gpioSysfs = true;
        else if (i + 1 < argc && ValueOption(argv[i], argv[i + 1], o)) ++i;
        else {
            std::fprintf(stderr, "OrvelModuleSim: bad option %s (see --help)\n", argv[i]);
            return 2;
        }
    }
    return -1;
}

}  // namespace sim
