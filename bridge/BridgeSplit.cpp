// The bridge's document splitter: by delimiter or by braces.
#include "BridgeSplit.h"

#include <algorithm>

namespace {

// Delimiter mode: the documents between delimiters; a delimiter cut in two
// by a read is found once its second part arrives.
void SplitAtDelimiter(tDocSplit* s, std::vector<std::string>* docs) {
  const std::string& d = s->delimiter;
  size_t start = 0;
  size_t from = s->scanned >= d.size() ? s->scanned - (d.size() - 1) : 0;
  size_t end;
  while ((end = s->partial.find(d, from)) != std::string::npos) {
    if (end > start) docs->emplace_back(s->partial, start, end - start);
    start = end + d.size();
    from = start;
  }
  s->partial.erase(0, start);
  s->scanned = s->partial.size();
}

// Brace mode: each top-level object from its opening to its closing brace;
// whatever lies between two objects is skipped.
void SplitAtBraces(tDocSplit* s, std::vector<std::string>* docs) {
  size_t start = 0;
  for (size_t i = s->scanned; i < s->partial.size(); ++i) {
    const char c = s->partial[i];
    if (s->scan.depth == 0 && c != '{') {
      start = i + 1;  // between objects
      continue;
    }
    if (BraceScanByte(&s->scan, c)) {
      docs->emplace_back(s->partial, start, i + 1 - start);
      start = i + 1;
    }
  }
  s->partial.erase(0, start);
  s->scanned = s->partial.size();
}

}  // namespace

void DocSplitInit(tDocSplit* split, const std::string& delimiter) {
  split->delimiter = delimiter;
  DocSplitReset(split);
}

void DocSplitReset(tDocSplit* split) {
  split->partial.clear();
  split->scanned = 0;
  split->scan = tBraceScan{};
}

size_t DocSplitFeed(tDocSplit* split, const char* bytes, size_t length,
                    std::vector<std::string>* docs) {
  split->partial.append(bytes, length);
  if (split->delimiter.empty()) {
    SplitAtBraces(split, docs);
  } else {
    SplitAtDelimiter(split, docs);
  }
  if (split->partial.size() <= kSplitMaxDoc) return 0;
  size_t dropped = split->partial.size();
  DocSplitReset(split);
  return dropped;
}
