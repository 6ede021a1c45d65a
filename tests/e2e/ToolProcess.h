// A child process started from a plain argv (a broker, the bridge, MQTT
// command-line clients), its output captured like every harness child's.
#pragma once

#include <string>
#include <vector>

#include "Harness.h"

namespace e2e {

class ToolProcess : public ChildProcess {
 public:
  bool Start(const std::vector<std::string>& argv, const std::string& outPath) {
    return Spawn(argv, {}, outPath, false);
  }
};

}  // namespace e2e
