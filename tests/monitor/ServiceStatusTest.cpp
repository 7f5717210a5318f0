// The service's answer about itself: whatever a number or a path holds comes back as it was, and
// an answer that is not one is refused rather than half read.
#include "monitor/ServiceStatus.h"

#include <gtest/gtest.h>

using namespace kestrine::monitor;

TEST(ServiceStatus, ComesBackAsItWasWhateverItsTextsHold) {
    ServiceStatus status;
    status.allowed = 3;
    ServiceStatus::Port served;
    served.com = 1;
    served.served = true;
    served.lastRefusedAt = 1765400000;
    served.lastRefused = "0900 1\r\n2";
    served.lastDialledBy = "dialled by /tmp/a b (process 7)";
    ServiceStatus::Port missing;
    missing.com = 12;
    missing.device = "/dev/ttyUSB0";
    missing.why = "The system cannot find the file specified";
    status.ports = {served, missing};
    status.kept = {{0, 0, "\xff-"}, {3, 1765400001, "0900123"}};

    const auto back = DecodeServiceStatus(EncodeServiceStatus(status));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->allowed, 3u);
    ASSERT_EQ(back->ports.size(), 2u);
    EXPECT_TRUE(back->ports[0].served);
    EXPECT_EQ(back->ports[0].device, "");
    EXPECT_EQ(back->ports[0].lastRefused, served.lastRefused);
    EXPECT_EQ(back->ports[0].lastDialledBy, served.lastDialledBy);
    EXPECT_EQ(back->ports[0].lastRefusedAt, served.lastRefusedAt);
    EXPECT_FALSE(back->ports[1].served);
    EXPECT_EQ(back->ports[1].device, missing.device);
    EXPECT_EQ(back->ports[1].why, missing.why);
    ASSERT_EQ(back->kept.size(), 2u);
    EXPECT_EQ(back->kept[0].number, "\xff-");
    EXPECT_EQ(back->kept[1].com, 3);
    EXPECT_EQ(back->kept[1].time, 1765400001);
}

TEST(ServiceStatus, WhatIsNotAnAnswerIsRefusedAndWhatIsNewIsPassedOver) {
    const std::string head = "kestrine-status 1\n";
    for (const std::string& bad : {
             std::string(""), std::string("kestrine-status 2\n"), head + "allowed x\n",
             head + "port 1 2 - - 0 - -\n",    // served is 0 or 1
             head + "port 1 1 - - 0 - \n",     // a field missing
             head + "port 1 1 abc - 0 - -\n",  // odd hex
             head + "kept 1 0 zz\n",           // not hex
         }) {
        EXPECT_FALSE(DecodeServiceStatus(bad)) << bad;
    }
    const auto later = DecodeServiceStatus(head + "allowed 2\nuptime 99\n");
    ASSERT_TRUE(later);
    EXPECT_EQ(later->allowed, 2u);
}
