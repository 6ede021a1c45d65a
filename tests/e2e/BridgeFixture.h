// Shared set-up of the MQTT bridge end-to-end tests: a real mosquitto broker
// started by each test on a free loopback port with its own configuration,
// the gateway on the simulator, the bridge between them, and a subscriber
// (mosquitto_sub) whose lines are the messages it saw.
#pragma once

#include <string>
#include <vector>

#include "GatewayFixture.h"
#include "ToolProcess.h"

namespace e2e {

// Text of the probe frame's document (sim::WesStatusFrame(0x77)).
extern const char* const kProbe;

// One message seen by the subscriber.
struct MqttMessage {
  std::string topic, correlation, payload;
};

// The whole numbers that follow each occurrence of marker in text, in order
// (occurrences not followed by a digit are skipped).
std::vector<long> NumbersAfter(const std::string& text, const std::string& marker);

class BridgeTest : public GatewayTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the broker's configuration (listener on brokerPort_, plus extra
  // lines) and starts it; waits until it listens.
  void StartBroker(const std::vector<std::string>& extraLines = {});
  void StopBroker();
  // Starts the bridge with the test's ports and gatewayId "gw", extras
  // appended to its -C text; waits for its configuration lines.
  void StartBridge(const std::vector<std::string>& extras = {});
  // Subscribes to orvel/# with MQTT 5 (extra options appended, output to
  // `name` in the test directory) and waits until the subscription is in
  // place (the retained status has arrived).
  void Subscribe(const std::vector<std::string>& extra = {}, const std::string& name = "sub.out");
  // The subscriber's messages so far, in arrival order.
  std::vector<MqttMessage> Messages() const;
  std::vector<MqttMessage> MessagesOn(const std::string& topic) const;
  // True once n messages on the topic were seen before the deadline.
  bool WaitForMessages(const std::string& topic, size_t n, Deadline deadline);
  // A mosquitto password file in the test directory with one user; its path.
  std::string MakePasswordFile(const std::string& user, const std::string& password);
  // Publishes with mosquitto_pub (MQTT 5; extra options after the message).
  bool PublishCommand(const std::string& text, const std::vector<std::string>& extra = {});
  // Broker, gateway (extras appended; the simulator with simArgs), bridge
  // and subscriber, and a probe document seen end to end.
  void StartAll(const std::vector<std::string>& bridgeExtras = {},
                const std::vector<std::string>& gatewayExtras = {},
                const std::vector<std::string>& simArgs = {"--no-answer"});
  // Sends probe frames (and a CTS pulse, which also wakes the host API
  // when the module never falls quiet) until one is published.
  void ProbeUntilSeen();

  uint16_t brokerPort_ = 0;
  std::vector<std::string> brokerLines_;
  ToolProcess broker_, bridge_, subscriber_;
};

}  // namespace e2e
