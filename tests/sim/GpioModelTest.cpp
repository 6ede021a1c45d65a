// The sysfs GPIO stand-in's model on its own: the kernel's answers to
// export, unexport and the pin files, and the edge events of the CTS pin.
#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <string>
#include <vector>

#include "SimGpioModel.h"

namespace sim {
namespace {

class GpioModelTest : public ::testing::Test {
protected:
    GpioModelTest() : model_(4, [this](const std::string& l) { log_.push_back(l); }) {}
    int Write(const std::string& path, const std::string& text) {
        return model_.Write(model_.Resolve(path), text);
    }
    bool Pending(uint64_t h) { return (model_.PollValue(h) & (POLLPRI | POLLERR)) != 0; }
    std::string Read(uint64_t h) {
        std::string t;
        return model_.ReadValue(h, &t) < 0 ? "error" : t;
    }
    GpioModel model_;
    std::vector<std::string> log_;
};

TEST_F(GpioModelTest, ExportAndUnexportAnswerAsTheKernel) {
    EXPECT_EQ(-EINVAL, Write("/unexport", "4"));
    EXPECT_EQ(1, Write("/export", "4"));
    EXPECT_EQ(-EBUSY, Write("/export", "4\n"));
    EXPECT_EQ(-EINVAL, Write("/export", "four"));
    EXPECT_EQ(-EINVAL, Write("/export", "4 "));
    EXPECT_EQ(4, Write("/export", "0x11"));
    EXPECT_EQ(std::vector<std::string>({"export", "unexport", "gpio4", "gpio17"}),
              model_.List(model_.Resolve("/")));
    EXPECT_EQ(GpioNode::Value, model_.Resolve("/gpio4/value").node);
    EXPECT_EQ(GpioNode::None, model_.Resolve("/gpio5").node);
    EXPECT_EQ(GpioNode::None, model_.Resolve("/gpio4/bogus").node);
    EXPECT_EQ(2, Write("/unexport", "4\n"));
    EXPECT_EQ(GpioNode::None, model_.Resolve("/gpio4/value").node);
    // Every write is logged as written, line ends visible.
    const std::vector<std::string> expected = {
        "unexport 4 refused EINVAL", "export 4",    "export 4\\n refused EBUSY",
        "export four refused EINVAL", "export 4  refused EINVAL", "export 0x11",
        "unexport 4\\n"};
    ASSERT_EQ(expected.size(), log_.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ("gpio-write " + expected[i], log_[i]);
}

TEST_F(GpioModelTest, PinFilesTakeTheKernelsWordsOnly) {
    ASSERT_EQ(1, Write("/export", "4"));
    EXPECT_EQ("in\n", model_.Read(model_.Resolve("/gpio4/direction")));
    EXPECT_EQ("none\n", model_.Read(model_.Resolve("/gpio4/edge")));
    EXPECT_EQ(-EINVAL, Write("/gpio4/direction", "sideways"));
    EXPECT_EQ(-EINVAL, Write("/gpio4/edge", "Falling"));
    EXPECT_EQ(-EPERM, Write("/gpio4/value", "0"));  // an input's value is not written
    EXPECT_EQ(8, Write("/gpio4/edge", "falling\n"));
    EXPECT_EQ("falling\n", model_.Read(model_.Resolve("/gpio4/edge")));
    EXPECT_EQ(3, Write("/gpio4/direction", "low"));
    EXPECT_EQ("out\n", model_.Read(model_.Resolve("/gpio4/direction")));
    EXPECT_EQ("0\n", model_.Read(model_.Resolve("/gpio4/value")));
    EXPECT_EQ(1, Write("/gpio4/value", "1"));
    EXPECT_EQ("1\n", model_.Read(model_.Resolve("/gpio4/value")));
}

TEST_F(GpioModelTest, EventsFollowTheEdgeSettingPerOpenFile) {
    model_.SetCtsLevel(false);  // the line is low before the pin is exported
    ASSERT_EQ(1, Write("/export", "4"));
    ASSERT_EQ(7, Write("/gpio4/edge", "falling"));
    const uint64_t a = model_.OpenValue(4);
    EXPECT_TRUE(Pending(a));  // a fresh open tells of an event until read
    EXPECT_EQ("0\n", Read(a));
    EXPECT_FALSE(Pending(a));

    model_.SetCtsLevel(true);  // rising: no event
    EXPECT_FALSE(Pending(a));
    EXPECT_TRUE(model_.TakeWakes().empty());
    const uint64_t b = model_.OpenValue(4);
    Read(b);
    model_.SetCtsLevel(false);  // falling: both open files see it
    EXPECT_EQ(std::vector<uint64_t>({a, b}), model_.TakeWakes());
    EXPECT_TRUE(Pending(a));
    EXPECT_EQ("0\n", Read(a));
    EXPECT_FALSE(Pending(a));
    EXPECT_TRUE(Pending(b));
    model_.SetCtsLevel(false);  // no change, no edge
    Read(b);
    EXPECT_FALSE(Pending(b));

    ASSERT_EQ(4, Write("/gpio4/edge", "both"));
    model_.SetCtsLevel(true);
    EXPECT_TRUE(Pending(a));
    Read(a);
    ASSERT_EQ(4, Write("/gpio4/edge", "none"));
    model_.SetCtsLevel(false);
    EXPECT_FALSE(Pending(a));

    ASSERT_EQ(7, Write("/gpio4/edge", "falling"));
    model_.SetCtsLevel(true);
    model_.SetFault(GpioFault::NoEdges);
    model_.SetCtsLevel(false);
    EXPECT_FALSE(Pending(a));
    EXPECT_EQ("0\n", Read(a));  // the level still follows the line
}

TEST_F(GpioModelTest, OnlyAnArmedPollWithoutEventIsAWait) {
    ASSERT_EQ(1, Write("/export", "4"));
    ASSERT_EQ(7, Write("/gpio4/edge", "falling"));
    const uint64_t h = model_.OpenValue(4);
    log_.clear();
    model_.PollValue(h, true);   // the opening event: nothing to wait for
    Read(h);
    model_.PollValue(h, false);  // a look without notification: no sleep
    model_.PollValue(h, true);
    model_.SetCtsLevel(false);
    model_.PollValue(h, true);
    EXPECT_EQ(std::vector<std::string>({"gpio-poll 4 event", "gpio-read 4 1", "gpio-wait 4",
                                        "gpio-level 4 0", "gpio-event 4", "gpio-poll 4 event"}),
              log_);
}

TEST_F(GpioModelTest, FaultsRemoveFilesOrRefuseWrites) {
    ASSERT_EQ(1, Write("/export", "4"));
    model_.SetFault(GpioFault::Direction);
    EXPECT_EQ(-EIO, Write("/gpio4/direction", "in"));
    model_.SetFault(GpioFault::Edge);
    EXPECT_EQ(-EIO, Write("/gpio4/edge", "falling"));
    model_.SetFault(GpioFault::Value);
    EXPECT_EQ(GpioNode::None, model_.Resolve("/gpio4/value").node);
    EXPECT_EQ(std::vector<std::string>({"direction", "edge"}), model_.List(model_.Resolve("/gpio4")));
    model_.SetFault(GpioFault::Unexport);
    EXPECT_EQ(GpioNode::None, model_.Resolve("/unexport").node);
    model_.SetFault(GpioFault::Export);
    EXPECT_EQ(-EBUSY, Write("/export", "5"));
    GpioFault f = GpioFault::None;
    EXPECT_TRUE(ParseGpioFault("no-edges", &f));
    EXPECT_EQ(GpioFault::NoEdges, f);
    EXPECT_FALSE(ParseGpioFault("edges", &f));
}

TEST_F(GpioModelTest, OpenFilesOfAnUnexportedPinFail) {
    ASSERT_EQ(1, Write("/export", "4"));
    const uint64_t h = model_.OpenValue(4);
    Read(h);
    model_.RemoveCtsPin();
    EXPECT_EQ(std::vector<uint64_t>({h}), model_.TakeWakes());
    EXPECT_TRUE(Pending(h));
    std::string t;
    EXPECT_EQ(-ENODEV, model_.ReadValue(h, &t));
    // A new export is a new pin: the old open file stays dead.
    ASSERT_EQ(1, Write("/export", "4"));
    EXPECT_EQ(-ENODEV, model_.ReadValue(h, &t));
    const uint64_t fresh = model_.OpenValue(4);
    EXPECT_EQ("1\n", Read(fresh));
    model_.CloseValue(h);
    EXPECT_EQ(-EBADF, model_.ReadValue(h, &t));
}

}  // namespace
}  // namespace sim
