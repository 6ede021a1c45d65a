// Command-line options of the module simulator and their help text.
#pragma once

#include <cstdint>
#include <string>

#include "SimGpioModel.h"
#include "SimMesh.h"

namespace sim {

enum class Fault { None, Garbage, Split, BadHeader, Unknown };

struct Options {
    std::string link, logPath, ctsSocket, scriptPath;
    MeshOptions mesh;
    unsigned rate = 0;              // spontaneous reports per second
    int ctsIntervalMs = 100;        // periodic clear-to-send; 0 = only when ready
    bool noCts = false;
    int gapMs = 20;                 // quiet gap between own frames and CTS
    unsigned pieceBytes = 0;        // frames written in pieces of this size; 0 = whole
    bool answer = true;
    Fault fault = Fault::None;
    unsigned faultEvery = 1;
    unsigned garbageBytes = 8;
    int splitPauseMs = 150;
    int floodOpcode = -1;
    unsigned long floodCount = 0;
    int vanishAfterMs = -1;
    bool stdinFrames = false;
    bool gpioSysfs = false;         // serve the sysfs GPIO stand-in
    int gpioPin = 4;                // the pin the CTS line drives
    GpioFault gpioFault = GpioFault::None;
};

// Parses argv into *o. Returns -1 to go on, otherwise the exit status (after
// printing help or an error).
int ParseOptions(int argc, char** argv, Options* o);

}  // namespace sim
