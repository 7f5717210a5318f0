#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/ProtectionStatus.h"
#include "tests/support/LogFixture.h"

using namespace kestrine;
using Fault = monitor::ProtectionStatus::Fault;

// Each change of the whole is logged and shown once; reasons come in a fixed order, whichever
// fault was noticed first.
TEST(ProtectionStatus, EveryChangeIsLoggedAndShownOnce) {
    test::LogFixture log;
    monitor::ProtectionStatus status(log.owner);
    std::vector<std::string> shown;
    status.SetListener([&](bool protecting, const std::string& reason) {
        shown.push_back(protecting ? "protecting" : reason);
    });
    EXPECT_TRUE(status.Protecting());

    status.Clear(Fault::Driver);                  // nothing to clear: no change
    status.Report(Fault::Ports, "no port");       // a change
    status.Report(Fault::Ports, "no port");       // the same again: no change
    status.Report(Fault::Store, "store broken");  // told before the ports
    status.Clear(Fault::Ports);
    status.Clear(Fault::Store);  // back

    EXPECT_TRUE(status.Protecting());
    EXPECT_EQ(shown, (std::vector<std::string>{"no port", "store broken; no port", "store broken",
                                               "protecting"}));
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                  "Kestrine is not protecting: no port",
                                  "Kestrine is not protecting: store broken; no port",
                                  "Kestrine is not protecting: store broken",
                                  "Kestrine is protecting again",
                              }));
}
