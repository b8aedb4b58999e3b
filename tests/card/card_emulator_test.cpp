// The emulator as the reader driver sees it, without pcscd: the test plays
// the driver, listening on a loopback port and speaking its frames.

#include "tests/card/CardTestData.h"
#include "tools/card-emulator/CardEmulator.h"
#include "tools/card-emulator/DriverLink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace card_test;
using namespace std::chrono_literals;
using card_emulator::CardEmulator;
using card_emulator::Fault;
using Clock = std::chrono::steady_clock;

std::string show(const Bytes& bytes) {
    return card_emulator::toHex(bytes);
}

// The driver's end, failing the test when a frame cannot go out.
class FakeDriver : public card_emulator::DriverLink {
public:
    void sendFrame(const Bytes& payload) { ASSERT_TRUE(DriverLink::sendFrame(payload)); }

    Bytes transmit(const Bytes& command) {
        sendFrame(command);
        return receiveFrame().value_or(Bytes{});
    }
};

class CardEmulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(driver.port(), 0);
        card.start();
        ASSERT_TRUE(driver.accept());
    }

    FakeDriver driver;
    CardEmulator card{testProfile(), driver.port()};
};

TEST_F(CardEmulatorTest, AnswersOnlyTheAtrRequestAmongControlCodes) {
    for (const std::uint8_t code : {1, 0, 2, 7}) {
        driver.sendFrame({code});
    }
    driver.sendFrame({4});
    // The first frame back answers the last one sent.
    EXPECT_EQ(driver.receiveFrame(), card_emulator::atrT1());
    EXPECT_FALSE(driver.receiveFrame(200ms));
    EXPECT_EQ(card.controlCodes(), (std::vector<std::uint8_t>{1, 0, 2, 7, 4}));
}

TEST_F(CardEmulatorTest, AnswersCommandsAndKeepsTheirLog) {
    EXPECT_EQ(driver.transmit(kSelectApplication), hex("90 00"));
    EXPECT_EQ(driver.transmit(kReadSerial), concat(kSerial, hex("90 00")));
    const auto log = card.exchanges();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].command, kSelectApplication);
    EXPECT_EQ(log[0].response, hex("90 00"));
    EXPECT_EQ(log[1].command, kReadSerial);
    EXPECT_EQ(log[1].response, concat(kSerial, hex("90 00")));
    card.clearLog();
    EXPECT_TRUE(card.exchanges().empty());
}

TEST_F(CardEmulatorTest, ObserverSeesEachExchange) {
    std::mutex mutex;
    std::vector<Bytes> seen;
    card.setObserver([&](const card_emulator::Exchange& e) {
        std::lock_guard lock(mutex);
        seen.push_back(e.response);
    });
    driver.transmit(kSelectApplication);
    driver.transmit(kReadSerial);
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<Bytes>{hex("90 00"), concat(kSerial, hex("90 00"))}));
}

struct FaultRow {
    const char* what;
    Fault fault;
    std::vector<Bytes> answers; // to READ BINARY, one after another
};

TEST(CardEmulatorFaults, EachFaultAnswersAsScriptedForItsCount) {
    const Bytes serial = concat(kSerial, hex("90 00"));
    const std::vector<FaultRow> rows = {
        {"a status word once", Fault::statusWord(0xB0, 0x6A82), {hex("6A 82"), serial}},
        {"data and a status word twice",
         Fault::answer(0xB0, hex("01 02 03"), 0x6283).repeat(2),
         {hex("01 02 03 62 83"), hex("01 02 03 62 83"), serial}},
        {"always",
         Fault::statusWord(0xB0, 0x6F00).always(),
         {hex("6F 00"), hex("6F 00"), hex("6F 00"), hex("6F 00")}},
        {"one byte", Fault::oneByte(0xB0, 0x90), {hex("90"), serial}},
        {"no data", Fault::answer(0xB0, {}), {hex("90 00"), serial}},
        {"253 data bytes",
         Fault::answer(0xB0, Bytes(253, 0xAB)),
         {concat(Bytes(253, 0xAB), hex("90 00")), serial}},
        {"254 data bytes",
         Fault::answer(0xB0, Bytes(254, 0xAB)),
         {concat(Bytes(254, 0xAB), hex("90 00")), serial}},
        {"more than 254 are cut to 254",
         Fault::answer(0xB0, Bytes(300, 0xAB)),
         {concat(Bytes(254, 0xAB), hex("90 00")), serial}},
        {"another instruction's fault", Fault::statusWord(0xA4, 0x6A82), {serial, serial}},
    };
    for (const auto& row : rows) {
        FakeDriver driver;
        CardEmulator card(testProfile(), driver.port());
        card.addFault(row.fault);
        card.start();
        ASSERT_TRUE(driver.accept()) << row.what;
        for (std::size_t i = 0; i < row.answers.size(); ++i) {
            EXPECT_EQ(show(driver.transmit(kReadSerial)), show(row.answers[i]))
                << row.what << ", command " << i;
        }
    }
}

TEST_F(CardEmulatorTest, FaultsApplyInTheOrderTheyWereAdded) {
    card.addFault(Fault::statusWord(0xB0, 0x6A82));
    card.addFault(Fault::statusWord(0xB0, 0x6A83));
    EXPECT_EQ(driver.transmit(kReadSerial), hex("6A 82"));
    EXPECT_EQ(driver.transmit(kReadSerial), hex("6A 83"));
    card.addFault(Fault::statusWord(0xB0, 0x6A84).always());
    card.clearFaults();
    EXPECT_EQ(driver.transmit(kReadSerial), concat(kSerial, hex("90 00")));
}

TEST_F(CardEmulatorTest, AFaultedCommandNeverReachesTheCard) {
    card.addFault(Fault::statusWord(0x20, 0x9000));
    EXPECT_EQ(driver.transmit(kVerifyWrong), hex("90 00"));
    EXPECT_EQ(card.triesLeft(), 3);
    EXPECT_EQ(driver.transmit(getTacCommand(ascii("A"), false)), hex("69 82"));
    EXPECT_EQ(card.tsn(), kFirstTsn);
}

TEST_F(CardEmulatorTest, DelayHoldsTheAnswer) {
    card.addFault(Fault::delayed(0xB0, 250ms));
    const auto start = Clock::now();
    EXPECT_EQ(driver.transmit(kReadSerial), concat(kSerial, hex("90 00")));
    EXPECT_GE(Clock::now() - start, 250ms);
    const auto again = Clock::now();
    EXPECT_EQ(driver.transmit(kReadSerial), concat(kSerial, hex("90 00")));
    EXPECT_LT(Clock::now() - again, 200ms);
}

TEST_F(CardEmulatorTest, DropClosesOnReceiptAndTheCardStaysOutUntilInserted) {
    card.addFault(Fault::drop(0xB0));
    driver.sendFrame(kReadSerial);
    EXPECT_TRUE(driver.closedByCard());
    EXPECT_FALSE(card.inserted());
    EXPECT_FALSE(driver.accept(300ms));
    const auto log = card.exchanges();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].response.empty());

    card.insert();
    ASSERT_TRUE(driver.accept());
    EXPECT_EQ(driver.transmit(kReadSerial), concat(kSerial, hex("90 00")));
}

TEST_F(CardEmulatorTest, RemovedCardComesBackAsAnotherCard) {
    card.remove();
    EXPECT_TRUE(driver.closedByCard(100ms));
    EXPECT_FALSE(driver.accept(300ms));

    auto other = testProfile();
    const Bytes otherSerial = hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
    std::copy(otherSerial.begin(), otherSerial.end(), other.serial.begin());
    other.atr = card_emulator::atrT0();
    card.insert(std::move(other));
    ASSERT_TRUE(driver.accept());
    driver.sendFrame({4});
    EXPECT_EQ(driver.receiveFrame(), card_emulator::atrT0());
    EXPECT_EQ(driver.transmit(kReadSerial), concat(otherSerial, hex("90 00")));
    EXPECT_EQ(card.serial(), otherSerial);
}

TEST_F(CardEmulatorTest, TheSameCardReinsertedKeepsItsTriesButNotItsVerification) {
    EXPECT_EQ(driver.transmit(kVerifyWrong), hex("66 08"));
    EXPECT_EQ(driver.transmit(kVerify), hex("90 00"));
    EXPECT_EQ(driver.transmit(kVerifyWrong), hex("66 08"));
    card.remove();
    card.insert();
    ASSERT_TRUE(driver.accept());
    EXPECT_EQ(driver.transmit(getTacCommand(ascii("A"), false)), hex("69 82"));
    EXPECT_EQ(driver.transmit(kVerifyWrong), hex("66 10"));
}

// A verified PIN lasts until the card loses its power or is reset, as a
// card's does: power on, reset and every insertion end it.
TEST_F(CardEmulatorTest, AVerificationEndsOnPowerResetAndInsertion) {
    const Bytes tac = getTacCommand(ascii("A"), false);
    const struct {
        const char* what;
        std::function<void()> event;
    } rows[] = {
        {"power on", [&] { driver.sendFrame({1}); }},
        {"reset", [&] { driver.sendFrame({2}); }},
        {"power off and on", [&] { driver.sendFrame({0}), driver.sendFrame({1}); }},
        {"removal and insertion",
         [&] {
             card.remove();
             card.insert();
             ASSERT_TRUE(driver.accept());
         }},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(driver.transmit(kVerify), hex("90 00")) << row.what;
        const std::uint32_t tsn = card.tsn();
        ASSERT_EQ(driver.transmit(tac), expectedTacAnswer(tsn, ascii("A"), false)) << row.what;
        row.event();
        EXPECT_EQ(driver.transmit(tac), hex("69 82")) << row.what;
    }
    EXPECT_EQ(driver.transmit(kVerifyWrong), hex("66 08")) << "the tries stay";
}

TEST_F(CardEmulatorTest, MalformedFramesAreRefusedOrIgnored) {
    driver.sendFrame({});
    EXPECT_FALSE(driver.receiveFrame(200ms)) << "an empty frame gets no answer";
    for (const Bytes& command :
         {hex("00 B0"), hex("00 B0 00"), concat(hex("00 B0 00 00 FF"), Bytes(595, 0x00))}) {
        EXPECT_EQ(driver.transmit(command), hex("67 00")) << command.size() << " bytes";
    }
    driver.sendFrame({4});
    EXPECT_EQ(driver.receiveFrame(), card_emulator::atrT1());
}

TEST_F(CardEmulatorTest, ConnectsAgainWhenTheDriverDropsIt) {
    EXPECT_EQ(driver.transmit(kReadSerial), concat(kSerial, hex("90 00")));
    driver.drop();
    ASSERT_TRUE(driver.accept());
    EXPECT_EQ(driver.transmit(kReadSerial), concat(kSerial, hex("90 00")));
}

TEST(CardEmulatorStart, WaitsForTheDriverToListen) {
    // A port that nobody listens on yet: the card tries until it does.
    std::uint16_t port = 0;
    {
        FakeDriver probe;
        port = probe.port();
    }
    CardEmulator card(testProfile(), port);
    card.start();
    EXPECT_FALSE(card.waitConnected(100ms));
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    EXPECT_TRUE(card.waitConnected(2s));
    card.stop();
    close(listener);
}

// The driver writes a control code that gets no answer and then the ATR
// request. Its second write waits (Nagle) until the first is acknowledged;
// a card that left its ACK delayed would cost some 40 ms each time.
TEST_F(CardEmulatorTest, PowerOnThenAtrIsNotHeldByADelayedAck) {
    std::vector<double> millis;
    for (int i = 0; i < 40; ++i) {
        const auto start = Clock::now();
        driver.sendFrame({1});
        driver.sendFrame({4});
        ASSERT_EQ(driver.receiveFrame(), card_emulator::atrT1());
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        // An APDU in between, as between two power-ons.
        driver.transmit(kReadSerial);
    }
    std::sort(millis.begin(), millis.end());
    EXPECT_LT(millis[millis.size() / 2], 20.0);
}

} // namespace
