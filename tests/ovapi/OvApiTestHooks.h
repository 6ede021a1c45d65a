// Test side of the host API: the three application hooks, redirected to
// per-test handlers, and a recorder for the receive-callback table.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "ovapi/OvApi.h"

using Bytes = std::vector<uint8_t>;

// Handlers the hooks forward to; null means the default behaviour.
struct OvApiTestHooks {
  // Default: forwards to OvApiExecuteCallbacks.
  void (*received)(uint8_t index, uint32_t userData, const uint8_t* frame, uint8_t len) = nullptr;
  // Default: records the frame and answers txResult.
  int (*txData)(uint8_t index, const uint8_t* frame, uint8_t len) = nullptr;
  // Default: records the report.
  void (*written)(uint8_t index, uint32_t userData, const uint8_t* frame, uint8_t len) = nullptr;
  int txResult = 0;
  std::vector<Bytes> offered;
  struct Report {
    uint32_t userData;
    Bytes frame;
  };
  std::vector<Report> reports;
};

extern OvApiTestHooks g_hooks;

// Everything the callback table delivered, in order; payloads are copied.
struct Delivery {
  Delivery(int s, Bytes r, uint32_t va = 0, uint32_t vb = 0, uint32_t vc = 0, uint32_t vd = 0,
           Bytes x = {})
      : slot(s), raw(std::move(r)), a(va), b(vb), c(vc), d(vd), extra(std::move(x)) {}
  int slot;
  Bytes raw;       // slot 0: the frame; typed slots: the payload, if any
  uint32_t a = 0;  // nodeId / status / neighborCount
  uint32_t b = 0;  // packageAge / status / command / nodeType / appFunctionType
  uint32_t c = 0;  // port
  uint32_t d = 0;  // sequenceNo
  Bytes extra;     // uidHex / route data / neighbours (id hi, id lo, RSSI)
};
extern std::vector<Delivery> g_deliveries;
// A table with every slot recording into g_deliveries.
extern OvApiRxCallbacks g_recordingTable;
// Registers g_recordingTable with instance 0 and clears g_deliveries.
void UseRecordingTable();

// Resets the API and the hooks; activates instance 0 when asked.
void ResetApi(bool activate = true);
// Feeds bytes to instance 0.
void Feed(const Bytes& bytes);
// The frame queued in instance 0, or empty.
Bytes Queued();
