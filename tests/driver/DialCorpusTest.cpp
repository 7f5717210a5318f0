// The dial fuzzers' seed corpus, replayed in every test run: each file is a dialling session
// (tests/fuzz/DialSession.h) after which the modem must have dialled only the allowed number,
// the virtual modem and the independent one (tests/support/SpanModem.h) alike.
// A finding of a fuzzer, once mended, joins the corpus and stays mended.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/fuzz/DialSession.h"
#include "tests/fuzz/SpanSession.h"

TEST(DialCorpus, EverySessionDialsOnlyTheAllowedNumber) {
    std::size_t sessions = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KESTRINE_DIAL_CORPUS)) {
        std::ifstream file(entry.path(), std::ios::binary);
        std::ostringstream input;
        input << file.rdbuf();
        const auto outcome = kestrine::test::RunDialSession(input.str(), false);
        EXPECT_FALSE(outcome.breach) << entry.path().filename() << ": dialled " << outcome.number;
        const auto independent = kestrine::test::RunSpanSession(input.str(), false);
        EXPECT_FALSE(independent.breach)
            << entry.path().filename() << ": the independent modem dialled " << independent.number;
        ++sessions;
    }
    EXPECT_GT(sessions, 5u);
}
