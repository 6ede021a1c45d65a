// Splits the gateway's byte stream into documents: at every occurrence of
// the configured delimiter, or, with an empty delimiter, at the end of each
// top-level JSON object (braces counted outside strings). The same splitter
// frames the one reply of a send-port connection. Pure; no OS calls.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "serializer/JsonBraceScan.h"

// Longest document the splitter holds while it waits for its end; longer
// ones are dropped (far beyond any document the gateway writes, so only a
// delimiter that does not match the gateway's gets there).
constexpr size_t kSplitMaxDoc = 65536;

struct tDocSplit {
  std::string delimiter;  // bytes; empty: split by braces
  std::string partial;    // the unfinished document
  size_t scanned = 0;     // bytes of `partial` already looked at
  tBraceScan scan;        // brace count at `scanned` (empty delimiter only)
};

// Starts a splitter for `delimiter` (raw bytes), with nothing pending.
void DocSplitInit(tDocSplit* split, const std::string& delimiter);
// Appends `length` bytes and moves every complete document, without its
// delimiter, to the end of *docs. Empty documents (two delimiters in a row)
// are skipped, and so are the bytes between objects when splitting by
// braces. Returns the bytes dropped because a document grew past
// kSplitMaxDoc (0 normally); the caller reports them.
size_t DocSplitFeed(tDocSplit* split, const char* bytes, size_t length,
                    std::vector<std::string>* docs);
// Drops what is pending (the stream ended or was cut).
void DocSplitReset(tDocSplit* split);
