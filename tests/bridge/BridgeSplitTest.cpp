// Tests of the bridge's document splitter: by delimiter, whatever the reads
// cut, and by braces when the delimiter is empty.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BridgeSplit.h"

namespace {

const std::string kA = R"({"objectType":"ack","nodeId":1})";
const std::string kB = R"({"objectType":"unknown","text":"a}b{\"}"})";
const std::string kC = R"({"objectType":"x","inner":{"k":[{"a":1}]},"q":"\\"})";

// The stream fed in pieces of `piece` bytes; the documents that came out.
std::vector<std::string> Split(const std::string& delimiter, const std::string& stream,
                               size_t piece) {
  tDocSplit split;
  DocSplitInit(&split, delimiter);
  std::vector<std::string> docs;
  for (size_t at = 0; at < stream.size(); at += piece)
    EXPECT_EQ(0u, DocSplitFeed(&split, stream.data() + at, std::min(piece, stream.size() - at),
                               &docs));
  return docs;
}

TEST(BridgeSplit, EveryDelimiterWhateverTheReadsCut) {
  const std::vector<std::string> want{kA, kB, kC};
  struct Case {
    const char* name;
    std::string delimiter, stream;
  } cases[] = {
      {"line feed", "\n", kA + "\n" + kB + "\n\n" + kC + "\n"},
      {"crlf", "\r\n", kA + "\r\n" + kB + "\r\n" + kC + "\r\n"},
      {"long", "<EOD>", kA + "<EOD>" + kB + "<EOD>" + kC + "<EOD>"},
      {"braces", "", kA + kB + kC},
      {"braces, line ends between", "", kA + "\r\n" + kB + "\n" + kC + "\n"},
  };
  for (const Case& k : cases) {
    for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, k.stream.size()}) {
      EXPECT_EQ(want, Split(k.delimiter, k.stream, piece)) << k.name << ", pieces of " << piece;
    }
  }
}

TEST(BridgeSplit, UnfinishedDocumentWaitsAndAnOverlongOneIsDropped) {
  tDocSplit split;
  DocSplitInit(&split, "\r\n");
  std::vector<std::string> docs;
  const std::string start = kA + "\r";
  EXPECT_EQ(0u, DocSplitFeed(&split, start.data(), start.size(), &docs));
  EXPECT_TRUE(docs.empty());
  EXPECT_EQ(0u, DocSplitFeed(&split, "\n", 1, &docs));
  EXPECT_EQ(std::vector<std::string>{kA}, docs);

  // A stream that never holds the delimiter (the gateway's is another).
  const std::string noEnd(kSplitMaxDoc + 1, 'x');
  EXPECT_EQ(kSplitMaxDoc + 1, DocSplitFeed(&split, noEnd.data(), noEnd.size(), &docs));
  const std::string next = kB + "\r\n";
  EXPECT_EQ(0u, DocSplitFeed(&split, next.data(), next.size(), &docs));
  EXPECT_EQ((std::vector<std::string>{kA, kB}), docs);
}

}  // namespace
