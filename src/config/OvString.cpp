// Backslash escapes of configuration texts: the nine escapes both ways.
#include "config/OvString.h"

#include <cstdlib>
#include <cstring>

namespace {

// Escape letter and the byte it stands for; the two directions share it.
struct tEscape {
  char letter;
  char byte;
};
constexpr tEscape kEscapes[] = {{'"', '"'},   {'\\', '\\'}, {'a', '\a'}, {'b', '\b'}, {'f', '\f'},
                                {'n', '\n'},  {'r', '\r'},  {'t', '\t'}, {'v', '\v'}};

const tEscape* FindByLetter(char letter) {
  for (const tEscape& e : kEscapes)
    if (e.letter == letter) return &e;
  return nullptr;
}

const tEscape* FindByByte(char byte) {
  for (const tEscape& e : kEscapes)
    if (e.byte == byte) return &e;
  return nullptr;
}

} // namespace

void StringUnEscapeBuf(const char* in, char* out) {
  bool escaped = false;
  for (; *in; ++in) {
    if (!escaped) {
      if (*in == '\\')
        escaped = true;
      else
        *out++ = *in;
      continue;
    }
    escaped = false;
    if (const tEscape* e = FindByLetter(*in)) {
      *out++ = e->byte;
    } else {
      *out++ = '\\';
      *out++ = *in;
    }
  }
  *out = '\0';
}

void StringEscapeBuf(const char* in, char* out) {
  for (; *in; ++in) {
    if (const tEscape* e = FindByByte(*in)) {
      *out++ = '\\';
      *out++ = e->letter;
    } else {
      *out++ = *in;
    }
  }
  *out = '\0';
}

char* StringUnEscape(const char* in) {
  if (!in) return nullptr;
  char* out = static_cast<char*>(malloc(strlen(in) + 1));
  if (out) StringUnEscapeBuf(in, out);
  return out;
}

char* StringEscape(const char* in) {
  if (!in) return nullptr;
  char* out = static_cast<char*>(malloc(2 * strlen(in) + 1));
  if (out) StringEscapeBuf(in, out);
  return out;
}
