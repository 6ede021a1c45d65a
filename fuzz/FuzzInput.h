// A reader over a fuzzer's input: takes bytes from the front and answers 0
// once the input is used up, so every target reads any input without
// running past its end.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ovapi/OvApi.h"

// Aborts with the message when a property of the code under test fails, so
// that the fuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition)                                                      \
  do {                                                                             \
    if (!(condition)) {                                                            \
      __builtin_printf("check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      abort();                                                                     \
    }                                                                              \
  } while (0)

class FuzzInput {
public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return size_ == 0; }
  uint8_t Byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
  uint32_t Long() { return static_cast<uint32_t>(Word()) << 16 | Word(); }
  // Copies up to count bytes into out; the number copied.
  size_t Bytes(uint8_t* out, size_t count) {
    size_t n = count < size_ ? count : size_;
    for (size_t i = 0; i < n; ++i) out[i] = data_[i];
    data_ += n;
    size_ -= n;
    return n;
  }
  const uint8_t* Rest(size_t* size) const {
    *size = size_;
    return data_;
  }

private:
  const uint8_t* data_;
  size_t size_;
};

// A frame in the transmit slot: opcode, length byte and exactly that many
// body bytes, within the slot.
inline bool IsCommandFrame(const uint8_t* frame, unsigned length) {
  return length >= 2 && length <= OVAPI_TX_FRAME_MAX && frame[1] + 2u == length;
}
