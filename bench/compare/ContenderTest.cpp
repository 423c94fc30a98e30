// Every contender does the work its scenario defines, with tiny counts: the timed phase is
// complete, ping-pong records one round trip per timed packet, and idle memory is sampled
// before the connections open and while they are open.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "AsioContender.h"
#include "Process.h"
#include "RawContender.h"
#include "TalvenContender.h"
#include "ZmqContender.h"

namespace bench {
namespace {

std::unique_ptr<Contender> Make(const std::string& name) {
    if (name == "TALVEN") return std::make_unique<TalvenContender>();
    if (name == "TALVEN batched") return std::make_unique<TalvenContender>(true);
    if (name == "Asio") return std::make_unique<AsioContender>();
    if (name == "ZeroMQ") return std::make_unique<ZmqContender>();
    return std::make_unique<RawContender>();
}

class ContenderTest : public ::testing::TestWithParam<std::string> {
protected:
    static void SetUpTestSuite() { RaiseDescriptorLimit(); }
    std::unique_ptr<Contender> contender_ = Make(GetParam());
};

TEST_P(ContenderTest, PingPongTimesEveryRoundTripAfterTheWarmup) {
    for (std::size_t payload : {std::size_t{1}, std::size_t{16 * 1024}}) {
        Measure m;
        contender_->PingPong(Frame(payload), 3, 25, m);
        EXPECT_TRUE(m.Complete()) << payload;
        EXPECT_EQ(m.Trips().size(), 25u) << payload;
    }
}

TEST_P(ContenderTest, StreamCompletesForSmallAndLargePackets) {
    for (std::size_t payload : {std::size_t{64}, std::size_t{1024 * 1024}}) {
        Measure m;
        contender_->Stream(Frame(payload), payload > 1024 ? 3 : 500, m);
        EXPECT_TRUE(m.Complete()) << payload;
        EXPECT_TRUE(m.Trips().empty()) << payload;
    }
}

TEST_P(ContenderTest, FanInCompletesOnEveryConnection) {
    Measure m;
    contender_->FanIn(Frame(64), 20, 4, m);
    EXPECT_TRUE(m.Complete());
}

TEST_P(ContenderTest, IdleSamplesBeforeAndWhileConnectionsAreOpen) {
    std::vector<int> phases;
    contender_->Idle(10, [&](int phase) { phases.push_back(phase); });
    EXPECT_EQ(phases, (std::vector<int>{0, 1}));
}

INSTANTIATE_TEST_SUITE_P(All, ContenderTest, ::testing::Values("TALVEN", "TALVEN batched", "Asio", "ZeroMQ", "raw"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

}  // namespace
}  // namespace bench
