// Backslash escapes of configuration texts (the message delimiter): the
// nine of quote, backslash, a, b, f, n, r, t, v and nothing else.
// Unescaping turns the written form into the bytes sent on the sockets;
// escaping is its reverse.
#pragma once

// New malloc'd result, or null when memory runs out; the caller frees it.
// A null input gives null.
char* StringUnEscape(const char* in);
char* StringEscape(const char* in);

// Into a caller buffer of strlen(in) + 1 bytes (unescape) or
// 2 * strlen(in) + 1 bytes (escape); the result is NUL-terminated. A
// backslash before any other character stays with it; a final lone
// backslash is dropped.
void StringUnEscapeBuf(const char* in, char* out);
void StringEscapeBuf(const char* in, char* out);
