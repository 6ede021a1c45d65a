// Fuzz target: a send-port message through the real command reading and
// dispatch (ParseMsg and the serializer's DeSerialize operations). The first
// byte chooses strict or lenient reading, the rest is the message. A
// recognised command must be one the builders take or refuse with a result
// code, and a queued frame must be a valid frame; everything allocated is
// released, which LeakSanitizer checks.
#include <cstdlib>
#include <cstring>

#include "FuzzInput.h"
#include "config/Configuration.h"
#include "send/SendEssentials.h"
#include "send/SendTask.h"
#include "serializer/tSerializer.h"

namespace {

tConfiguration* Config() {
  static tConfiguration* config = [] {
    auto* c = new tConfiguration;
    GetConfigDefault(c);
    c->setUart("/dev/null");  // the default probes the machine's UART
    return c;
  }();
  return config;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > SEND_MSG_MAX + 1) return 0;
  tConfiguration* config = Config();
  OvApiInit();
  g_send.essentials = config;
  config->getSerializer()->SetStrictCommands((data[0] & 1) != 0);
  g_send.msgLen = static_cast<uint32_t>(size - 1);
  g_send.msgBuf = static_cast<char*>(malloc(SEND_MSG_MAX + 1));
  memcpy(g_send.msgBuf, data + 1, size - 1);
  if (ParseMsg() == nullptr) {
    OvApiResult code = SendMessageToOvApi();
    FUZZ_CHECK(code >= Ok && code <= MessageMissing);
    if (code == Ok) {
      FUZZ_CHECK(IsCommandFrame(g_ovApi[0].txFrame, g_ovApi[0].txLength.load()));
      OvApiCancelEnqueuedMessage(0);
    }
  }
  SendEssentialsReleasePayloads();
  free(g_send.msgBuf);
  g_send.msgBuf = nullptr;
  return 0;
}
