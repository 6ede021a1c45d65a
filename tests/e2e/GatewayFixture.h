// Shared set-up of the gateway end-to-end tests: a simulator, a gateway on
// free ports attached to it, and receive-port clients brought in step with
// the gateway before a test's frames are sent.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Harness.h"

namespace e2e {

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts simulator (with simArgs; by default it neither raises CTS by
  // itself nor answers commands, so tests decide both) and gateway; extras
  // are appended to the -C text.
  void StartGateway(const std::vector<std::string>& extras = {},
                    const std::vector<std::string>& simArgs = {"--no-cts", "--no-answer"});
  // Runs start(), which starts gateway_ on recvPort_ and sendPort_, and
  // waits for the configuration's last line, printed once both ports are
  // bound. A free port can be taken by another program before the gateway
  // binds it: then both are picked again and start() runs again, at most
  // three times in all.
  void Launch(const std::function<bool()>& start);
  // Connects a receive client and waits until it sees documents, so that
  // every frame sent afterwards reaches it; returns it.
  RecvClient* AddClient(const std::string& delimiter = "\n");
  // Brings every client in step: afterwards each holds no document and
  // will see every frame sent from now on.
  void SyncClients();
  // Sends a command and raises CTS until the gateway answers; the reply.
  std::string CommandWithCts(const std::string& text);
  // Sends one command of every kind with CTS raised; each must be answered
  // "ok" and reach the module byte for byte, in order.
  void ExpectEveryCommandKindWritten();
  // A scratch directory removed at the end of the test.
  std::string TempDir();
  // SIGTERM and the exit status (-1 when it did not exit in time).
  int StopGateway(int sig);

  std::string dir_;
  SimProcess sim_;
  GatewayProcess gateway_;
  uint16_t recvPort_ = 0;
  uint16_t sendPort_ = 0;
  std::vector<std::unique_ptr<RecvClient>> clients_;
  int marker_ = 0;
  std::vector<std::string> tempDirs_;
};

// The gateway with ctsSource=gpio against a simulator serving the sysfs GPIO
// stand-in (pin 4 driven by its CTS line). Skipped where the stand-in cannot
// run; the reason is given.
class GatewayGpioTest : public GatewayTest {
 protected:
  void SetUp() override;
  // Starts both; returns once the CTS thread has prepared the pin and taken
  // the value file's first read. It may not sleep in its poll yet: an edge
  // that must be told apart from the last one waits for WaitForPollWaits.
  void StartGpioGateway(const std::vector<std::string>& extras = {},
                        const std::vector<std::string>& simArgs = {});
  // Log lines of the stand-in: "gpio-write ...", "gpio-read", "gpio-event".
  std::vector<std::string> GpioLog(const std::string& kind) const { return sim_.LogLines(kind); }
  // True once the stand-in has logged n reads of the value file.
  bool WaitForValueReads(size_t n);
  // True once the stand-in has logged n polls that found no event and sleep
  // ("gpio-wait"): the CTS thread has handed over every edge before them.
  bool WaitForPollWaits(size_t n);
};

// "ok" status with empty content, as every accepted command is answered.
extern const char* const kOkReply;

// One frame of every kind the module reports, with parts of the document
// it must become.
struct ExpectedDoc {
  std::vector<uint8_t> frame;
  std::vector<std::string> parts;
};
std::vector<ExpectedDoc> EveryFrameKind();

// True when doc contains every one of the parts.
bool DocHas(const std::string& doc, const std::vector<std::string>& parts);

}  // namespace e2e
