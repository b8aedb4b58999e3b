// The emulated card through a real pcscd and its virtual reader driver, as
// the card control will reach it: every command of the script, the faults,
// the PIN tries, a card pulled out mid-command, removal and insertion, and
// more than one reader.

#include "platform/pcsc/Pcsc.h"
#include "tests/card/CardTestData.h"
#include "tests/support/CardRig.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace platform::pcsc;
using namespace card_test;
using namespace std::chrono_literals;
using card_emulator::CardEmulator;
using card_emulator::Fault;
using testing_support::CardRig;
using Clock = std::chrono::steady_clock;

// What the control's exchanges receive at most: 255 bytes.
constexpr std::size_t kControlCapacity = 255;

std::string show(const Bytes& bytes) {
    return card_emulator::toHex(bytes);
}

class CardThroughPcscd : public ::testing::Test {
protected:
    explicit CardThroughPcscd(std::vector<testing_support::VirtualReaderEntry> entries = {{}})
        : rig(std::move(entries)) {}

    void SetUp() override {
        ASSERT_TRUE(rig.start()) << rig.why();
        ASSERT_EQ(Context::establish(kScopeUser, context), kSuccess);
    }
    void TearDown() override {
        if (HasFailure()) {
            std::fprintf(stderr, "pcscd wrote:\n%s\n", rig.pcscdLog().c_str());
        }
    }

    // A card in the reader on port, and a shared connection to it.
    CardEmulator* insertAndConnect(Card& connection,
                                   card_emulator::CardProfile profile = testProfile(),
                                   std::uint16_t port = card_emulator::kDefaultPort) {
        CardEmulator* card = rig.insertCard(port, std::move(profile));
        if (card == nullptr) {
            ADD_FAILURE() << rig.why();
            return nullptr;
        }
        const Result result = Card::connect(context, rig.readerForPort(port), kShareShared,
                                            kProtocolT0 | kProtocolT1, connection);
        EXPECT_EQ(result, kSuccess) << std::hex << result;
        return card;
    }

    Bytes transmit(const Card& connection, const Bytes& command,
                   std::size_t capacity = kControlCapacity) {
        Bytes response;
        const Result result = connection.transmit(command, response, capacity);
        EXPECT_EQ(result, kSuccess) << std::hex << result << " for " << show(command);
        return response;
    }

    CardRig rig;
    Context context;
};

class ScriptThroughPcscd : public CardThroughPcscd,
                           public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(ScriptThroughPcscd, EveryCommandGetsTheCardsExactAnswer) {
    const std::uint32_t protocol = GetParam();
    auto profile = testProfile();
    profile.atr = protocol == kProtocolT0 ? card_emulator::atrT0() : card_emulator::atrT1();
    Card connection;
    ASSERT_NE(insertAndConnect(connection, profile), nullptr);
    EXPECT_EQ(connection.protocol(), protocol);
    CardStatus status;
    ASSERT_EQ(connection.status(status), kSuccess);
    EXPECT_EQ(status.state, kStateSpecific);
    EXPECT_EQ(status.protocol, protocol);
    EXPECT_EQ(status.atr, profile.atr);
    EXPECT_EQ(status.reader, rig.readers()[0]);

    for (const auto& row : applicationScript()) {
        EXPECT_EQ(show(transmit(connection, row.command)), show(row.response)) << row.what;
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, ScriptThroughPcscd, ::testing::Values(kProtocolT1, kProtocolT0),
                         [](const auto& info) { return info.param == kProtocolT0 ? "T0" : "T1"; });

TEST_F(CardThroughPcscd, GetTacAnswersTheTsnAndATacTheTestRecomputes) {
    Card connection;
    CardEmulator* card = insertAndConnect(connection);
    ASSERT_NE(card, nullptr);
    ASSERT_EQ(transmit(connection, kSelectApplication), hex("90 00"));
    ASSERT_EQ(transmit(connection, kVerify), hex("90 00"));
    const Bytes record = ascii("2590000000000000000000001500001234567820241231");
    std::uint32_t tsn = kFirstTsn;
    for (const bool withSerial : {false, false, true}) {
        const Bytes answer = transmit(connection, getTacCommand(record, withSerial));
        EXPECT_EQ(show(answer), show(expectedTacAnswer(tsn, record, withSerial)));

        // As the control keeps them: the answer in a zero-filled area, the
        // TSN text from byte 1 to its zero byte, the TAC at bytes 11-18.
        char area[256] = {};
        std::memcpy(area, answer.data(), answer.size() - 2);
        char expectedTsn[16];
        std::snprintf(expectedTsn, sizeof expectedTsn, "%08u", tsn);
        EXPECT_STREQ(area + 1, expectedTsn);
        EXPECT_EQ(Bytes(area + 11, area + 19), expectedTac(tsn, record, withSerial));
        ++tsn;
    }
    EXPECT_EQ(card->tsn(), tsn);
}

TEST_F(CardThroughPcscd, PinTriesCountDownAndBlock) {
    Card connection;
    CardEmulator* card = insertAndConnect(connection);
    ASSERT_NE(card, nullptr);
    ASSERT_EQ(transmit(connection, kSelectApplication), hex("90 00"));
    const std::vector<std::pair<Bytes, Bytes>> road = {
        {kVerifyWrong, hex("66 08")}, {kVerifyWrong, hex("66 10")}, {kVerify, hex("90 00")},
        {kVerifyWrong, hex("66 08")}, {kVerifyWrong, hex("66 10")}, {kVerifyWrong, hex("66 20")},
        {kVerify, hex("66 20")},
    };
    int step = 0;
    for (const auto& [command, answer] : road) {
        EXPECT_EQ(show(transmit(connection, command)), show(answer)) << "step " << step++;
    }
    EXPECT_EQ(card->triesLeft(), 0);
}

struct FaultRow {
    const char* what;
    Fault fault;
    std::size_t capacity;
    Result result;
    Bytes response;
};

TEST_F(CardThroughPcscd, EachFaultReachesTheCallerAsScripted) {
    Card connection;
    CardEmulator* card = insertAndConnect(connection);
    ASSERT_NE(card, nullptr);
    const Bytes serial = concat(kSerial, hex("90 00"));
    const std::vector<FaultRow> rows = {
        {"another status word", Fault::statusWord(0xB0, 0x6A82), kControlCapacity, kSuccess,
         hex("6A 82")},
        {"data with a warning", Fault::answer(0xB0, hex("01 02"), 0x6283), kControlCapacity,
         kSuccess, hex("01 02 62 83")},
        {"no data", Fault::answer(0xB0, {}, 0x9000), kControlCapacity, kSuccess, hex("90 00")},
        {"253 data bytes fill the control's 255", Fault::answer(0xB0, Bytes(253, 0x3C)),
         kControlCapacity, kSuccess, concat(Bytes(253, 0x3C), hex("90 00"))},
        {"254 data bytes do not fit",
         Fault::answer(0xB0, Bytes(254, 0x3C)),
         kControlCapacity,
         kInsufficientBuffer,
         {}},
        {"254 data bytes into a larger buffer", Fault::answer(0xB0, Bytes(254, 0x3C)),
         Card::kMaxResponse, kSuccess, concat(Bytes(254, 0x3C), hex("90 00"))},
        {"one byte", Fault::oneByte(0xB0, 0x90), kControlCapacity, kSuccess, hex("90")},
    };
    for (const auto& row : rows) {
        card->addFault(row.fault);
        Bytes response;
        EXPECT_EQ(connection.transmit(kReadSerial, response, row.capacity), row.result) << row.what;
        EXPECT_EQ(show(response), show(row.response)) << row.what;
        // The fault was for one command: the next gets the card's answer.
        EXPECT_EQ(show(transmit(connection, kReadSerial)), show(serial)) << row.what;
    }

    card->addFault(Fault::delayed(0xB0, 300ms));
    const auto start = Clock::now();
    EXPECT_EQ(show(transmit(connection, kReadSerial)), show(serial));
    EXPECT_GE(Clock::now() - start, 300ms);
}

TEST_F(CardThroughPcscd, ACardPulledOutMidCommandFailsTheNextCallsUntilPcscdSeesItGone) {
    Card connection;
    CardEmulator* card = insertAndConnect(connection);
    ASSERT_NE(card, nullptr);
    card->addFault(Fault::drop(0xB0));
    Bytes response;
    // The driver reads the closed connection as an empty answer.
    EXPECT_EQ(connection.transmit(kReadSerial, response), kSuccess);
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(connection.transmit(kReadSerial, response), kNotTransacted);
    ASSERT_TRUE(rig.waitForCard(rig.readers()[0], false));
    EXPECT_EQ(connection.transmit(kReadSerial, response), kRemovedCard);
    CardStatus status;
    EXPECT_EQ(connection.status(status), kRemovedCard);

    ASSERT_TRUE(rig.reinsertCard(*card));
    EXPECT_EQ(connection.transmit(kReadSerial, response), kRemovedCard);
    Card again;
    ASSERT_EQ(Card::connect(context, rig.readers()[0], kShareShared, kProtocolT1, again), kSuccess);
    EXPECT_EQ(show(transmit(again, kReadSerial)), show(concat(kSerial, hex("90 00"))));
}

TEST_F(CardThroughPcscd, RemovalAndInsertionOfAnotherCardAreSeenByStatusChange) {
    Card connection;
    CardEmulator* card = insertAndConnect(connection);
    ASSERT_NE(card, nullptr);
    ReaderState state;
    state.reader = rig.readers()[0];
    ASSERT_EQ(SCardGetStatusChangeA(context.get(), 0, &state, 1), kSuccess);
    ASSERT_NE(state.eventState & kReaderStatePresent, 0u);
    state.currentState = state.eventState;

    const auto removed = Clock::now();
    card->remove();
    ASSERT_EQ(SCardGetStatusChangeA(context.get(), 5000, &state, 1), kSuccess);
    EXPECT_NE(state.eventState & kReaderStateChanged, 0u);
    EXPECT_NE(state.eventState & kReaderStateEmpty, 0u);
    EXPECT_EQ(state.eventState & kReaderStatePresent, 0u);
    EXPECT_GT(state.eventState >> 16, state.currentState >> 16) << "the event count goes up";
    state.currentState = state.eventState;
    std::this_thread::sleep_until(removed + CardRig::kHold);

    auto other = testProfile();
    other.atr = card_emulator::atrT0();
    const Bytes otherSerial = hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
    std::copy(otherSerial.begin(), otherSerial.end(), other.serial.begin());
    card->insert(std::move(other));
    ASSERT_EQ(SCardGetStatusChangeA(context.get(), 5000, &state, 1), kSuccess);
    EXPECT_NE(state.eventState & kReaderStatePresent, 0u);
    EXPECT_EQ(Bytes(state.atr.begin(), state.atr.begin() + state.atrLength),
              card_emulator::atrT0());

    Bytes response;
    EXPECT_EQ(connection.transmit(kReadSerial, response), kRemovedCard);
    Card fresh;
    ASSERT_EQ(
        Card::connect(context, rig.readers()[0], kShareShared, kProtocolT0 | kProtocolT1, fresh),
        kSuccess);
    EXPECT_EQ(fresh.protocol(), kProtocolT0);
    EXPECT_EQ(show(transmit(fresh, kReadSerial)), show(concat(otherSerial, hex("90 00"))));
}

class TwoReaderEntries : public CardThroughPcscd {
protected:
    TwoReaderEntries() : CardThroughPcscd({{"Virtual PCD", 35963}, {"Second PCD", 35965}}) {}
};

TEST_F(TwoReaderEntries, EachReaderReachesItsOwnCard) {
    EXPECT_EQ(rig.readers(), (std::vector<std::string>{"Virtual PCD 00 00", "Virtual PCD 00 01",
                                                       "Second PCD 00 00", "Second PCD 00 01"}));
    std::vector<std::string> listed;
    ASSERT_EQ(context.listReaders(listed), kSuccess);
    EXPECT_EQ(listed, rig.readers());

    struct Slot {
        std::uint16_t port;
        Bytes serial;
        Card connection;
    };
    std::vector<Slot> slots;
    slots.push_back({35964, hex("AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA 01"), {}});
    slots.push_back({35965, hex("BB BB BB BB BB BB BB BB BB BB BB BB BB BB BB 02"), {}});
    for (auto& slot : slots) {
        auto profile = testProfile();
        std::copy(slot.serial.begin(), slot.serial.end(), profile.serial.begin());
        ASSERT_NE(insertAndConnect(slot.connection, profile, slot.port), nullptr) << slot.port;
    }
    for (const auto& slot : slots) {
        EXPECT_EQ(show(transmit(slot.connection, kReadSerial)),
                  show(concat(slot.serial, hex("90 00"))))
            << rig.readerForPort(slot.port);
        CardStatus status;
        ASSERT_EQ(slot.connection.status(status), kSuccess);
        EXPECT_EQ(status.reader, rig.readerForPort(slot.port));
    }
    std::vector<ReaderState> states(4);
    for (std::size_t i = 0; i < states.size(); ++i) {
        states[i].reader = rig.readers()[i];
    }
    ASSERT_EQ(SCardGetStatusChangeA(context.get(), 0, states.data(), 4), kSuccess);
    const std::vector<bool> present = {false, true, true, false};
    for (std::size_t i = 0; i < states.size(); ++i) {
        EXPECT_EQ((states[i].eventState & kReaderStatePresent) != 0, present[i])
            << states[i].reader;
    }
}

} // namespace

namespace {

// Gone, or a zombie no one has reaped yet.
bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) {
        return true;
    }
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

bool endsWithin(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!ended(pid)) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST(CardRigCleanup, PcscdEndsWithTheRig) {
    pid_t pcscd = -1;
    {
        CardRig rig;
        ASSERT_TRUE(rig.start()) << rig.why();
        pcscd = rig.pcscdPid();
        ASSERT_GT(pcscd, 0);
        ASSERT_FALSE(ended(pcscd));
    }
    EXPECT_TRUE(ended(pcscd));
}

TEST(CardRigCleanup, PcscdEndsWithATestProcessThatDiesWithoutCleaningUp) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        auto* rig = new CardRig(); // never destroyed: the process just ends
        const pid_t pcscd = rig->start() ? rig->pcscdPid() : -1;
        (void)!write(report[1], &pcscd, sizeof pcscd);
        _exit(0);
    }
    close(report[1]);
    pid_t pcscd = -1;
    ASSERT_EQ(read(report[0], &pcscd, sizeof pcscd), static_cast<ssize_t>(sizeof pcscd));
    close(report[0]);
    waitpid(child, nullptr, 0);
    ASSERT_GT(pcscd, 0);
    EXPECT_TRUE(endsWithin(pcscd, 3s));
}

} // namespace
