// Framing of JSON objects in a byte stream by their braces: the send port
// ends a command where its braces balance, and the MQTT bridge splits the
// receive stream at the end of each top-level object when no delimiter is
// configured. Braces inside strings, escaped quotes included, do not count.
#pragma once

// Where the brace count of a stream stands.
struct tBraceScan {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
};

// Feeds one byte; true when it is a closing brace outside strings that
// brings the count back to 0 (the end of a top-level object).
inline bool BraceScanByte(tBraceScan* scan, char c) {
  if (scan->inString) {
    if (scan->escaped) {
      scan->escaped = false;
    } else if (c == '\\') {
      scan->escaped = true;
    } else if (c == '"') {
      scan->inString = false;
    }
    return false;
  }
  if (c == '"') {
    scan->inString = true;
  } else if (c == '{') {
    ++scan->depth;
  } else if (c == '}') {
    return --scan->depth == 0;
  }
  return false;
}
