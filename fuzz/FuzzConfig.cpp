// Fuzz target: configuration text. The first byte chooses the source: a -C
// text of key=value pairs, file lines one entry each, or the delimiter
// escapes, where unescaping what was escaped must give the same bytes. The
// configuration starts from the defaults with the UART set explicitly, so
// results do not depend on the machine's serial ports.
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzInput.h"
#include "config/Configuration.h"
#include "config/OvString.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  text = text.c_str();  // the sources take C texts
  tConfiguration config;
  GetConfigDefault(&config);
  config.setUart("/dev/null");
  switch (data[0] % 3) {
    case 0:
      GetConfigFromArgs(text.c_str(), &config);
      break;
    case 1: {
      size_t start = 0;
      while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        GetConfigEntry(text.substr(start, end - start).c_str(), &config);
        start = end + 1;
      }
      break;
    }
    default: {
      char* escaped = StringEscape(text.c_str());
      FUZZ_CHECK(escaped != nullptr);
      char* back = StringUnEscape(escaped);
      FUZZ_CHECK(back != nullptr && text == back);
      free(back);
      free(escaped);
      char* unescaped = StringUnEscape(text.c_str());  // any text, no crash
      free(unescaped);
      break;
    }
  }
  return 0;
}
