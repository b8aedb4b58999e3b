// The PC/SC layer over pcsc-lite: its value mapping, its log hook, what it
// gives without a resource manager, and its owners against a real pcscd.

#include "platform/pcsc/Pcsc.h"
#include "tests/card/CardTestData.h"
#include "tests/support/CardRig.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

namespace {

using namespace platform::pcsc;
using namespace card_test;
using namespace std::chrono_literals;
using testing_support::CardRig;
using Clock = std::chrono::steady_clock;

// pcsc-lite's card state bits and protocol numbers, as its headers have
// them; this file does not include them.
constexpr std::uint32_t kLiteAbsent = 0x02;
constexpr std::uint32_t kLitePresent = 0x04;
constexpr std::uint32_t kLiteSwallowed = 0x08;
constexpr std::uint32_t kLitePowered = 0x10;
constexpr std::uint32_t kLiteNegotiable = 0x20;
constexpr std::uint32_t kLiteSpecific = 0x40;
constexpr std::uint32_t kLiteT0 = 1;
constexpr std::uint32_t kLiteT1 = 2;
constexpr std::uint32_t kLiteRaw = 4;

struct StateRow {
    std::uint32_t mask;
    std::uint32_t protocol;
    std::uint32_t ordinal;
};

TEST(PcscMapping, CardStateMaskToOrdinal) {
    const std::vector<StateRow> rows = {
        // A connected T=1 card as pcsc-lite reports it: event count 1 above
        // bit 16, present, powered, negotiable, no specific bit.
        {0x10034, kLiteT1, kStateSpecific},
        {0x00034, kLiteT0, kStateSpecific},
        {0x00014, kLiteRaw, kStateSpecific},
        {kLiteSpecific | kLitePresent, 0, kStateSpecific},
        {0x00034, 0, kStateNegotiable},
        {0x70014, 0, kStatePowered},
        {kLiteSwallowed | kLitePresent, 0, kStateSwallowed},
        {kLitePresent, 0, kStatePresent},
        {kLitePresent, kLiteT1, kStatePresent}, // a protocol alone does not power it
        {kLiteAbsent, 0, kStateAbsent},
        {0x20002, 0, kStateAbsent},
        {0x00001, 0, kStateUnknown},
        {0x00000, 0, kStateUnknown},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(cardStateOrdinal(row.mask, row.protocol), row.ordinal)
            << std::hex << "mask 0x" << row.mask << " protocol " << row.protocol;
    }
    EXPECT_EQ(kLiteNegotiable | kLitePowered | kLitePresent, 0x34u);
}

TEST(PcscMapping, ProtocolsBothWays) {
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> rows = {
        {kLiteT0, kProtocolT0},
        {kLiteT1, kProtocolT1},
        {kLiteT0 | kLiteT1, kProtocolT0 | kProtocolT1},
        {kLiteRaw, kProtocolRaw},
        {0, kProtocolUndefined},
    };
    for (const auto& [lite, windows] : rows) {
        EXPECT_EQ(windowsProtocols(lite), windows) << lite;
        EXPECT_EQ(pcscliteProtocols(windows), lite) << windows;
    }
    EXPECT_EQ(pciForProtocol(kProtocolT0), &kPciT0);
    EXPECT_EQ(pciForProtocol(kProtocolT1), &kPciT1);
    EXPECT_EQ(pciForProtocol(kProtocolRaw), &kPciRaw);
    EXPECT_EQ(pciForProtocol(kProtocolUndefined), nullptr);
    EXPECT_EQ(pciForProtocol(kProtocolT0 | kProtocolT1), nullptr);
}

// Collects the hook's lines and removes the hook when it goes.
class HookLines {
public:
    HookLines() {
        setPcscLogHook([this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        });
    }
    ~HookLines() { setPcscLogHook(nullptr); }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST(PcscLogHook, EachCallLogsItsNameTheCallersFileAndLineAndTheResult) {
    HookLines hook;
    const int line = __LINE__ + 1;
    const Result result = SCardIsValidContext(0x1234);
    EXPECT_EQ(result, kInvalidHandle);
    const auto lines = hook.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "pcsc_test.cpp " + std::to_string(line) + " SCardIsValidContext 0x80100003");
}

TEST(PcscLogHook, AnEmptyHookLogsNothingAndAThrowingHookLosesOnlyItsLine) {
    std::atomic<int> calls = 0;
    setPcscLogHook([&](std::string_view) {
        ++calls;
        throw std::runtime_error("hook");
    });
    EXPECT_EQ(SCardIsValidContext(0x1234), kInvalidHandle);
    EXPECT_EQ(calls, 1);
    setPcscLogHook(nullptr);
    EXPECT_EQ(SCardIsValidContext(0x1234), kInvalidHandle);
    EXPECT_EQ(calls, 1);
}

TEST(PcscTestSeam, APlannedFailureReplacesOneCallOfItsNameAndIsLogged) {
    HookLines hook;
    seam::failNextCall("SCardIsValidContext", kCommError);
    seam::failNextCall("SCardIsValidContext", kNoService);
    // Another call's name leaves the failures waiting.
    EXPECT_EQ(SCardCancel(0x1234), kInvalidHandle);
    EXPECT_EQ(SCardIsValidContext(0x1234), kCommError);
    EXPECT_EQ(SCardIsValidContext(0x1234), kNoService);
    EXPECT_EQ(SCardIsValidContext(0x1234), kInvalidHandle);
    const auto lines = hook.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[1].find(" SCardIsValidContext 0x80100013"), std::string::npos) << lines[1];

    seam::failNextCall("SCardIsValidContext", kInternalError);
    seam::clearFailures();
    EXPECT_EQ(SCardIsValidContext(0x1234), kInvalidHandle);
}

TEST(PcscCalls, AskingForAutomaticAllocationIsRefused) {
    std::uint32_t length = kInfinite;
    char buffer[8];
    EXPECT_EQ(SCardListReadersA(0x1234, nullptr, buffer, &length), kInvalidParameter);
    std::uint32_t atrLength = kInfinite;
    std::uint8_t atr[36];
    EXPECT_EQ(SCardStatusA(0x1234, nullptr, nullptr, nullptr, nullptr, atr, &atrLength),
              kInvalidParameter);
}

// A machine where pcscd does not run: the rig's namespaces with an empty
// /run/pcscd.
TEST(PcscWithoutService, EveryEntryAnswersNoServiceAtOnce) {
    CardRig rig;
    ASSERT_TRUE(rig.enterNamespaces()) << rig.why();
    const auto start = Clock::now();
    Context context;
    EXPECT_EQ(Context::establish(kScopeUser, context), kNoService);
    EXPECT_FALSE(context.valid());
    ContextHandle handle = 0x55;
    EXPECT_EQ(SCardEstablishContext(kScopeSystem, &handle), kNoService);
    EXPECT_EQ(handle, 0u);
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST(PcscWithoutService, ASocketNameThatLeadsNowhereAnswersNoServiceAtOnce) {
    const auto start = Clock::now();
    const auto run = testing_support::runProgramCapture(
        {"env", "PCSCLITE_CSOCK_NAME=/nonexistent/pcscd.comm", PCSC_PROBE});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "0x8010001D\n");
    EXPECT_LT(Clock::now() - start, 2s);
}

class PcscOwners : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rig.start()) << rig.why();
        card = rig.insertCard(card_emulator::kDefaultPort, testProfile());
        ASSERT_NE(card, nullptr) << rig.why();
        reader = rig.readers()[0];
    }
    void TearDown() override {
        if (HasFailure()) {
            std::fprintf(stderr, "pcscd wrote:\n%s\n", rig.pcscdLog().c_str());
        }
    }

    CardRig rig;
    card_emulator::CardEmulator* card = nullptr;
    std::string reader;
};

TEST_F(PcscOwners, AContextIsReleasedWhenItsOwnerGoesAndAMoveKeepsItOnce) {
    ContextHandle handle = 0;
    {
        Context first;
        ASSERT_EQ(Context::establish(kScopeUser, first), kSuccess);
        handle = first.get();
        Context second = std::move(first);
        EXPECT_FALSE(first.valid());
        EXPECT_EQ(SCardIsValidContext(handle), kSuccess);
        Context third;
        third = std::move(second);
        EXPECT_EQ(third.get(), handle);
        EXPECT_EQ(SCardIsValidContext(handle), kSuccess);
    }
    EXPECT_EQ(SCardIsValidContext(handle), kInvalidHandle);

    Context released;
    ASSERT_EQ(Context::establish(kScopeUser, released), kSuccess);
    handle = released.get();
    EXPECT_EQ(released.release(), kSuccess);
    EXPECT_EQ(released.release(), kSuccess);
    EXPECT_EQ(SCardIsValidContext(handle), kInvalidHandle);
}

TEST_F(PcscOwners, ListsReadersAsNamesAndAsAMultiString) {
    Context context;
    ASSERT_EQ(Context::establish(kScopeUser, context), kSuccess);
    std::vector<std::string> names;
    ASSERT_EQ(context.listReaders(names), kSuccess);
    EXPECT_EQ(names, (std::vector<std::string>{"Virtual PCD 00 00", "Virtual PCD 00 01"}));

    std::uint32_t length = 0;
    ASSERT_EQ(SCardListReadersA(context.get(), nullptr, nullptr, &length), kSuccess);
    const std::string expected("Virtual PCD 00 00\0Virtual PCD 00 01\0\0", 37);
    EXPECT_EQ(length, expected.size());
    std::string buffer(length, 'x');
    length = 5;
    EXPECT_EQ(SCardListReadersA(context.get(), nullptr, buffer.data(), &length),
              kInsufficientBuffer);
    length = static_cast<std::uint32_t>(buffer.size());
    ASSERT_EQ(SCardListReadersA(context.get(), nullptr, buffer.data(), &length), kSuccess);
    EXPECT_EQ(buffer, expected);
}

TEST_F(PcscOwners, StatusGivesTheOrdinalStateAndTheWindowsProtocol) {
    Context context;
    ASSERT_EQ(Context::establish(kScopeUser, context), kSuccess);
    CardHandle handle = 0;
    std::uint32_t active = 0;
    ASSERT_EQ(SCardConnectA(context.get(), reader.c_str(), kShareExclusive,
                            kProtocolT0 | kProtocolT1, &handle, &active),
              kSuccess);
    EXPECT_EQ(active, kProtocolT1);
    CardHandle second = 0;
    EXPECT_EQ(
        SCardConnectA(context.get(), reader.c_str(), kShareShared, kProtocolT1, &second, nullptr),
        kSharingViolation);
    char name[256];
    std::uint32_t nameLength = sizeof name;
    std::uint32_t state = 0;
    std::uint32_t protocol = 0;
    std::uint8_t atr[60];
    std::uint32_t atrLength = sizeof atr;
    ASSERT_EQ(SCardStatusA(handle, name, &nameLength, &state, &protocol, atr, &atrLength),
              kSuccess);
    EXPECT_STREQ(name, reader.c_str());
    EXPECT_EQ(nameLength, reader.size() + 2); // a multi-string
    EXPECT_EQ(state, kStateSpecific);
    EXPECT_EQ(protocol, kProtocolT1);
    EXPECT_EQ(Bytes(atr, atr + atrLength), card_emulator::atrT1());

    std::uint32_t asked = 0;
    ASSERT_EQ(SCardStatusA(handle, nullptr, &asked, nullptr, nullptr, nullptr, nullptr), kSuccess);
    EXPECT_EQ(asked, reader.size() + 2);
    nameLength = static_cast<std::uint32_t>(reader.size() + 1); // no room for the second zero
    EXPECT_EQ(SCardStatusA(handle, name, &nameLength, &state, nullptr, nullptr, nullptr),
              kInsufficientBuffer);
    EXPECT_EQ(nameLength, reader.size() + 2);
    EXPECT_EQ(SCardDisconnect(handle, kDispositionLeave), kSuccess);
}

TEST_F(PcscOwners, ACardIsLeftAsItIsWhenItsOwnerGoesAndResetWhenAskedTo) {
    Context context;
    ASSERT_EQ(Context::establish(kScopeUser, context), kSuccess);
    Card watcher;
    ASSERT_EQ(Card::connect(context, reader, kShareShared, kProtocolT1, watcher), kSuccess);
    std::vector<std::uint8_t> response;
    ASSERT_EQ(watcher.transmit(kVerify, response), kSuccess);
    ASSERT_EQ(response, hex("90 00"));
    card->clearLog();
    {
        Card left;
        ASSERT_EQ(Card::connect(context, reader, kShareShared, kProtocolT1, left), kSuccess);
        Card moved = std::move(left);
        EXPECT_FALSE(left.valid());
        EXPECT_TRUE(moved.valid());
    }
    // Left as it was: still verified, and no reset reached the card.
    ASSERT_EQ(watcher.transmit(getTacCommand(ascii("A"), false), response), kSuccess);
    EXPECT_EQ(response, expectedTacAnswer(kFirstTsn, ascii("A"), false));
    const auto codes = card->controlCodes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 2), 0);

    Card resetting;
    ASSERT_EQ(Card::connect(context, reader, kShareShared, kProtocolT1, resetting), kSuccess);
    EXPECT_EQ(resetting.disconnect(kDispositionReset), kSuccess);
    EXPECT_FALSE(resetting.valid());
    const auto after = card->controlCodes();
    EXPECT_EQ(std::count(after.begin(), after.end(), 2), 1);
    // The other connection learns of the reset, and after reconnecting finds
    // the card's verification gone.
    EXPECT_EQ(watcher.transmit(kReadSerial, response), kResetCard);
    ASSERT_EQ(watcher.reconnect(kShareShared, kProtocolT1, kDispositionLeave), kSuccess);
    ASSERT_EQ(watcher.transmit(getTacCommand(ascii("A"), false), response), kSuccess);
    EXPECT_EQ(response, hex("69 82"));
}

TEST_F(PcscOwners, ATransactionHoldsOtherConnectionsUntilItsOwnerGoes) {
    Context context;
    ASSERT_EQ(Context::establish(kScopeUser, context), kSuccess);
    Card holder;
    Card other;
    ASSERT_EQ(Card::connect(context, reader, kShareShared, kProtocolT1, holder), kSuccess);
    ASSERT_EQ(Card::connect(context, reader, kShareShared, kProtocolT1, other), kSuccess);
    std::future<Result> waiting;
    {
        Transaction transaction;
        ASSERT_EQ(Transaction::begin(holder, transaction), kSuccess);
        Transaction moved = std::move(transaction);
        EXPECT_FALSE(transaction.active());
        waiting = std::async(std::launch::async, [&] {
            std::vector<std::uint8_t> response;
            return other.transmit(kReadSerial, response);
        });
        EXPECT_EQ(waiting.wait_for(300ms), std::future_status::timeout);
    }
    ASSERT_EQ(waiting.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), kSuccess);
}

TEST_F(PcscOwners, StatusChangeReportsTheCardAndTimesOut) {
    Context context;
    ASSERT_EQ(Context::establish(kScopeUser, context), kSuccess);
    std::vector<ReaderState> states(2);
    states[0].reader = reader;
    states[1].reader = rig.readers()[1];
    ASSERT_EQ(SCardGetStatusChangeA(context.get(), 0, states.data(), 2), kSuccess);
    EXPECT_NE(states[0].eventState & kReaderStatePresent, 0u);
    EXPECT_NE(states[0].eventState & kReaderStateChanged, 0u);
    EXPECT_EQ(Bytes(states[0].atr.begin(), states[0].atr.begin() + states[0].atrLength),
              card_emulator::atrT1());
    EXPECT_NE(states[1].eventState & kReaderStateEmpty, 0u);
    EXPECT_EQ(states[1].atrLength, 0u);

    for (auto& state : states) {
        state.currentState = state.eventState;
    }
    const auto start = Clock::now();
    EXPECT_EQ(SCardGetStatusChangeA(context.get(), 200, states.data(), 2), kTimeout);
    EXPECT_GE(Clock::now() - start, 150ms);

    ReaderState unknown;
    unknown.reader = "No Such Reader";
    EXPECT_EQ(SCardGetStatusChangeA(context.get(), 0, &unknown, 1), kUnknownReader);
    Card none;
    EXPECT_EQ(Card::connect(context, rig.readers()[1], kShareShared, kProtocolT1, none),
              kNoSmartcard);
    EXPECT_EQ(Card::connect(context, "No Such Reader", kShareShared, kProtocolT1, none),
              kUnknownReader);
    EXPECT_FALSE(none.valid());
}

} // namespace
