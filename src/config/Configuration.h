// The gateway's configuration: one tConfiguration object (g_config) that
// every task reads through the view it needs (tRecvConfig for the receive
// task, tSendConfig for the send task, the whole object for the CTS monitor,
// tConfigEssentials for the serializer and delimiter), its defaults, and its
// sources: built-in defaults, a key=value file (-c) or key=value pairs on the
// command line (-C), plus the printing of the effective values.
//
// Ownership: the configuration keeps its own copy of every text handed to a
// setter and frees the copy it replaces, so a reload never leaks and callers
// may pass temporaries or literals. The serializer object is owned likewise.
// Everything owned is released by the destructor.
//
// Threads: an object is written by the main thread only before it is handed
// to the task threads; read freely by them afterwards. A reload fills a new
// object and hands it over (OvTask), so the one in force never changes.
#pragma once

#include "config/ConfigEssentials.h"

// termios speed codes (B57600, B115200, B230400 on Linux).
constexpr unsigned int OV_SPEED_57600 = 0x1001;
constexpr unsigned int OV_SPEED_115200 = 0x1002;
constexpr unsigned int OV_SPEED_230400 = 0x1003;

class tUartConfig {
public:
  virtual ~tUartConfig() = default;
  virtual const char* getUart() = 0;
  virtual void setUart(const char* uart) = 0;
  virtual unsigned int getSpeed() = 0;
  virtual void setSpeed(unsigned int speed) = 0;
  virtual const char* getCtsSource() = 0;
  virtual void setCtsSource(const char* source) = 0;
};

// What both TCP ports share: the IPv4 address they are bound to, as
// dotted-quad text ("0.0.0.0" is every interface).
class tPortConfig {
public:
  virtual ~tPortConfig() = default;
  virtual const char* getBindAddress() = 0;
  virtual void setBindAddress(const char* address) = 0;
};

class tRecvConfig : public virtual tUartConfig,
                    public virtual tConfigEssentials,
                    public virtual tPortConfig {
public:
  virtual unsigned short getRecvPort() = 0;
  virtual void setRecvPort(unsigned short port) = 0;
  // Output a receive client may have queued before it is dropped, in KiB;
  // 0 drops it at the first send that cannot take a whole batch.
  virtual unsigned int getClientQueueKiB() = 0;
  virtual void setClientQueueKiB(unsigned int kib) = 0;
  // 1: every received document is logged with "-->"; 0: not.
  virtual int getLogDocuments() = 0;
  virtual void setLogDocuments(int on) = 0;
};

class tSendConfig : public virtual tUartConfig,
                    public virtual tConfigEssentials,
                    public virtual tPortConfig {
public:
  virtual unsigned short getSendPort() = 0;
  virtual void setSendPort(unsigned short port) = 0;
  virtual unsigned short getCtsTimeoutSecs() = 0;
  virtual void setCtsTimeoutSecs(unsigned short secs) = 0;
  // 1: numbers out of their field's range and bad hex texts are refused.
  virtual int getStrictCommands() = 0;
  virtual void setStrictCommands(int on) = 0;
};

class tGpioConfig {
public:
  virtual ~tGpioConfig() = default;
  virtual int getGpioPin() = 0;
  virtual void setGpioPin(int pin) = 0;
};

// Every field of the original nine keys is zero or null after construction;
// the keys added later start at their defaults, so a -c file that leaves
// them out keeps today's behaviour. Getters and setters are plain reads and
// stores without validation (texts are copied, see above).
// The delimiter pair of the essentials is overridden by this object's own.
class tConfiguration : public virtual tUartConfig,
                       public virtual tPortConfig,
                       public virtual tRecvConfig,
                       public virtual tSendConfig,
                       public virtual tGpioConfig {
public:
  tConfiguration() = default;
  ~tConfiguration() override;

  const char* getUart() override;
  void setUart(const char* uart) override;
  unsigned int getSpeed() override;
  void setSpeed(unsigned int speed) override;
  const char* getCtsSource() override;
  void setCtsSource(const char* source) override;
  unsigned short getRecvPort() override;
  void setRecvPort(unsigned short port) override;
  unsigned short getSendPort() override;
  void setSendPort(unsigned short port) override;
  unsigned short getCtsTimeoutSecs() override;
  void setCtsTimeoutSecs(unsigned short secs) override;
  int getGpioPin() override;
  void setGpioPin(int pin) override;
  const char* getDelimiter() override;
  void setDelimiter(const char* text) override;
  const char* getDelimiterFormatted() override;
  unsigned int getClientQueueKiB() override;
  void setClientQueueKiB(unsigned int kib) override;
  int getLogDocuments() override;
  void setLogDocuments(int on) override;
  int getStrictCommands() override;
  void setStrictCommands(int on) override;
  const char* getBindAddress() override;
  void setBindAddress(const char* address) override;

private:
  char* uart = nullptr;
  unsigned int speed = 0;
  unsigned short recvPort = 0;
  unsigned short sendPort = 0;
  unsigned short ctsTimeoutSecs = 0;
  char* ctsSource = nullptr;
  int gpioPin = 0;
  char* delimiter = nullptr;
  char* delimiterFormatted = nullptr;
  unsigned int clientQueueKiB = 1024;
  int logDocuments = 1;
  int strictCommands = 0;
  char* bindAddress = nullptr;  // null reads as "0.0.0.0"
};

// The process configuration; defined by the gateway's main module.
extern tConfiguration g_config;

// "/dev/ttyAMA0" when it opens read-write (probed anew on every call, the
// descriptor closed at once), else "/dev/ttyUSB1". Constant texts.
const char* GetDefaultUart();
// Applies every default: recvPort 2000, sendPort 2001, uart GetDefaultUart(),
// speed B115200, serializer "json", ctsTimeoutSecs 5, ctsSource "ioctl",
// gpioPin 4, delimiter "\n" as two characters (formatted: one line feed),
// clientQueueKiB 1024, logDocuments 1, strictCommands 0, bindAddress
// "0.0.0.0".
void GetConfigDefault(tConfiguration* config);
// Copies every value of `from` into `to`, with a serializer of its own of
// the same name (the reload starts from the values in force).
void ConfigCopy(tConfiguration* from, tConfiguration* to);
// What a reload reopens for a task going from old to next: rebind(next) when
// its port (the getter `port`) or bindAddress differ, then reopen(next) when
// uart or speed differ. Non-zero when both were needless or succeeded; 0
// with g_error from the step that failed.
int ConfigApplyReload(tConfiguration* old, tConfiguration* next,
                      unsigned short (tConfiguration::*port)(), int (*rebind)(tConfiguration*),
                      int (*reopen)(tConfiguration*));
// A task's whole half of a reload: ConfigApplyReload from the configuration
// the task state holds, then the state reads everything from next (its
// config and essentials views, and its link's path, whose old text goes
// with the old configuration). Same result convention.
template <typename State>
int ConfigAdopt(State* state, tConfiguration* next, unsigned short (tConfiguration::*port)(),
                int (*rebind)(tConfiguration*), int (*reopen)(tConfiguration*)) {
  auto* old = dynamic_cast<tConfiguration*>(state->config);
  if (!ConfigApplyReload(old, next, port, rebind, reopen)) {
    return 0;
  }
  state->config = next;
  state->essentials = next;
  state->link.path = next->getUart();
  return 1;
}
// "B57600", "B115200", "B230400", or "Unsupported speed" for any other code.
const char* MapSpeed(unsigned int code);

// The sources. Each returns 1 on success, 0 with the message in g_error;
// entries applied before a failure stay applied.
//   no arguments      defaults
//   -c <file>         the file's entries; at the first load (a text key
//                     still null afterwards) the missing "uart",
//                     "ctsSource", "serializer" and "delimiter" are taken
//                     from the defaults, so no task ever sees a null text;
//                     on a reload a missing key keeps its previous value
//   -C <k=v[,k=v]>    defaults, then the pairs
int GetConfig(int argc, char** argv, tConfiguration* config);
// One entry per line (pieces of at most 4095 bytes); stops at the first
// failing line. No defaults are applied here.
int GetConfigFromFile(const char* path, tConfiguration* config);
// Entries separated by ","; an empty piece fails.
int GetConfigFromArgs(const char* text, tConfiguration* config);
// One "key=value" entry. The key selects the first name of uart, speed,
// recvPort, sendPort, ctsTimeoutSecs, ctsSource, serializer, gpioPin,
// delimiter, clientQueueKiB, logDocuments, strictCommands, bindAddress that
// it is a prefix of (the empty key selects uart). Numbers read like strtol
// in base 10; ports and time-out keep the low 16 bits. The later keys are
// checked: clientQueueKiB a decimal 0..1048576, logDocuments and
// strictCommands 0 or 1, bindAddress a dotted-quad IPv4 address; anything
// else fails with "Invalid KEY: VALUE". One trailing line feed is removed
// from text values.
int GetConfigEntry(const char* entry, tConfiguration* config);
// Store the speed / CTS source and return 1 when `name` begins with an
// accepted word; else 0 without a message.
int SetSpeed(const char* name, tConfiguration* config);
int SetCtsSource(const char* text, tConfiguration* config);
// Key=value lines on standard output: uart, speed, recvPort, sendPort,
// serializer, ctsTimeoutSecs, ctsSource, gpioPin, delimiter as written, then
// the later keys clientQueueKiB, logDocuments, strictCommands, bindAddress.
void PrintConfig(tConfiguration* config);
