// The printer simulator's answer to the model request 1D 49 43: found wherever it lies in the
// stream, also across TCP segments, answered with 5F, the model, 00, and late when told to.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/printer_sim/loopback_client.h"
#include "tools/printer-sim/printer_sim.h"

namespace tarnel::printersim::test {
namespace {

const std::string kRequest = "\x1D\x49\x43";

TEST(ModelRequest, AnsweredWithTheModelAlsoWhenSentOneByteAtATime) {
    Options options;
    options.model = "XP-80C";
    PrinterSimulator printer(options);
    std::string error;
    ASSERT_TRUE(printer.start(error)) << error;

    LoopbackClient client(printer.port());
    ASSERT_TRUE(client.connected());
    // Each byte is received on its own before the next goes out, so the request is really split
    // across reads on the printer's side.
    for (size_t i = 0; i < kRequest.size(); ++i) {
        ASSERT_TRUE(client.sendAll(kRequest.substr(i, 1)));
        ASSERT_TRUE(printer.waitForBytes(i + 1, kWait));
    }
    EXPECT_EQ(client.read(8), std::string("\x5F"
                                          "XP-80C",
                                          7) +
                                  std::string(1, '\0'));
    EXPECT_EQ(printer.received(), kRequest);
}

// With echo on, each piece comes back followed by the replies its bytes completed, so the stream
// the client reads shows exactly where every reply was made, and a reply too many shows up before
// the closing marker.
TEST(ModelRequest, FoundWhereverTheStreamCompletesIt) {
    const std::string reply = std::string(
                                  "\x5F"
                                  "M",
                                  2) +
                              std::string(1, '\0');
    struct Case {
        const char* label;
        std::vector<std::string> pieces;
        std::vector<int> replies;  // replies completed by each piece
    };
    const std::vector<Case> cases = {
        {"alone", {kRequest}, {1}},
        {"inside print data", {"abc" + kRequest + "def"}, {1}},
        {"single bytes", {"\x1D", "\x49", "\x43"}, {0, 0, 1}},
        {"two in one write", {kRequest + kRequest}, {2}},
        {"two back to back across writes", {kRequest + "\x1D\x49", "\x43"}, {1, 1}},
        {"after a repeated first byte", {"\x1D\x1D\x49\x43"}, {1}},
        {"after a false start", {"\x1D\x49\x1D\x49\x43"}, {1}},
        {"false start split across writes", {"x\x1D", "\x49\x1D", "\x49", "\x43"}, {0, 0, 0, 1}},
        {"incomplete", {"\x1D\x49"}, {0}},
        {"tail only", {"\x49\x43"}, {0}},
        {"other GS I value", {"\x1D\x49\x44"}, {0}},
        {"interrupted", {"\x1D", std::string("\x00\x49\x43", 3)}, {0, 0}},
    };

    Options options;
    options.model = "M";
    PrinterSimulator printer(options);
    std::string error;
    ASSERT_TRUE(printer.start(error)) << error;
    printer.setEcho(true);

    size_t total = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        LoopbackClient client(printer.port());
        ASSERT_TRUE(client.connected());
        std::string expected;
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            ASSERT_TRUE(client.sendAll(c.pieces[i]));
            total += c.pieces[i].size();
            ASSERT_TRUE(printer.waitForBytes(total, kWait));
            expected += c.pieces[i];
            for (int r = 0; r < c.replies[i]; ++r) {
                expected += reply;
            }
        }
        ASSERT_TRUE(client.sendAll("END"));
        total += 3;
        expected += "END";
        EXPECT_EQ(client.read(expected.size()), expected);
    }
}

TEST(ModelRequest, ReplyDelayHoldsTheAnswerBack) {
    PrinterSimulator printer;
    std::string error;
    ASSERT_TRUE(printer.start(error)) << error;
    const auto delay = 400ms;
    printer.setReplyDelay(delay);

    LoopbackClient client(printer.port());
    ASSERT_TRUE(client.connected());
    const std::string reply = std::string(
                                  "\x5F"
                                  "TARNEL-SIM",
                                  11) +
                              std::string(1, '\0');
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.sendAll(kRequest));
    EXPECT_EQ(client.read(reply.size()), reply);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, delay);

    // Back to no delay: still answered.
    printer.setReplyDelay(0ms);
    ASSERT_TRUE(client.sendAll(kRequest));
    EXPECT_EQ(client.read(reply.size()), reply);
}

}  // namespace
}  // namespace tarnel::printersim::test
