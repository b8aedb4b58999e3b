// The transaction methods through the class, with a private pcscd, the card
// emulator and the scripted user on the control's own dialogs (manual
// clock): the records each member sends, the refusals before anything is
// sent, the confirmation with the card pulled out and put back, a card
// swapped meanwhile, the keypad reader's road and the status words; and the
// generic authorisation that reads its fields from one list.

#include "platform/pcsc/Pcsc.h"
#include "tests/card/CardTestData.h"
#include "tests/control/com/ConnectedControl.h"
#include "tests/control/com/ControlTestSupport.h"
#include "tests/control/com/TaveloClass.h"
#include "tests/support/CardRig.h"
#include "tools/CorvantixUser/UserClient.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>

namespace {

using namespace tavelo_class;
using namespace control_test;
using namespace std::chrono_literals;
using card_emulator::Bytes;
using card_emulator::toHex;
using card_test::ascii;
using card_test::concat;
using card_test::hex;
using platform::ui::JsonValue;
using testing_support::utf8;

constexpr std::uint32_t kTransferDialog = 204;
constexpr std::uint32_t kPayDialog = 205;
constexpr int kFromAccount = 209;
constexpr int kAmount = 210;
constexpr int kToAccount = 211;
constexpr int kPayKind = 517;

const JsonValue* controlOf(const JsonValue& dump, int id) {
    for (const auto& control : *dump.find("dialog")->find("controls")->asArray()) {
        if (control.find("id")->asNumber() == id) {
            return &control;
        }
    }
    return nullptr;
}

std::string textOf(const JsonValue& dump, int id) {
    const JsonValue* control = controlOf(dump, id);
    return control != nullptr ? *control->find("text")->asString() : "<none>";
}

// A transaction's fields as the page gives them.
struct Fields {
    std::string pin = card_test::kPin;
    std::string deviceId = "TERM0001";
    std::string checkId = "CHK00001";
    std::string outBank = "004";
    std::string outAccount = "0012345678901234";
    std::string inBank = "812";
    std::string inAccount = "0098765432109876";
    std::string writeOff = "5500000000000001";
    std::string kind = "15"; // tax or fee type
    std::string kindName = "Water bill";
    std::string amount = "1500";
    std::string pCode = "2541";
    std::string time = "20240102030405";
    std::string inquiryAccount = "0012345678901234";
};

enum class Member { Inquiry, Transfer, Tax, Fee };

// The record the card should see, built here from the fields.
Bytes recordOf(Member member, const Fields& f) {
    const std::string amount = std::string(12 - f.amount.size(), '0') + f.amount + "00";
    const std::string head = f.pCode + amount + f.deviceId + f.checkId + f.time;
    switch (member) {
    case Member::Inquiry:
        return ascii(f.pCode + f.checkId + f.inquiryAccount);
    case Member::Transfer:
        return ascii(head + f.inAccount + f.outAccount);
    case Member::Tax:
        return ascii(head + f.kind + f.outAccount + f.writeOff);
    case Member::Fee:
        return ascii(head + f.outAccount);
    }
    return {};
}

class Transactions : public ConnectedControl {
protected:
    explicit Transactions(std::vector<testing_support::VirtualReaderEntry> entries = {{}})
        : ConnectedControl("tavelo-tx", std::move(entries)) {}

    void TearDown() override {
        const std::string all = endAndReadLog();
        EXPECT_NE(all.find("TAC rtn"), std::string::npos) << "the methods log their end";
        for (const std::string& secret : {std::string(card_test::kPin), std::string("24 68 10"),
                                          std::string("246810FF"), card_test::kTacKey}) {
            EXPECT_EQ(all.find(secret), std::string::npos) << secret << " in the log";
        }
        if (HasFailure()) {
            std::fprintf(stderr, "control log:\n%s\n", all.c_str());
        }
    }

    std::int32_t call(Member member, const Fields& f, std::int32_t flags = 0) {
        std::int32_t rc = -12345;
        const auto t = [](const std::string& s) { return text(s); };
        switch (member) {
        case Member::Inquiry:
            control->DoInquiryTAC(t(f.pin).get(), t(f.checkId).get(), t(f.inquiryAccount).get(),
                                  t(f.pCode).get(), flags, &rc);
            break;
        case Member::Transfer:
            control->DoTransferTAC(t(f.pin).get(), t(f.deviceId).get(), t(f.checkId).get(),
                                   t(f.outBank).get(), t(f.outAccount).get(), t(f.inBank).get(),
                                   t(f.inAccount).get(), t(f.amount).get(), t(f.pCode).get(),
                                   t(f.time).get(), flags, &rc);
            break;
        case Member::Tax:
            control->DoPayTaxTAC(t(f.pin).get(), t(f.deviceId).get(), t(f.checkId).get(),
                                 t(f.outBank).get(), t(f.outAccount).get(), t(f.writeOff).get(),
                                 t(f.kind).get(), t(f.kindName).get(), t(f.amount).get(),
                                 t(f.pCode).get(), t(f.time).get(), flags, &rc);
            break;
        case Member::Fee:
            control->DoPayFeeTAC(t(f.pin).get(), t(f.deviceId).get(), t(f.checkId).get(),
                                 t(f.outBank).get(), t(f.outAccount).get(), t(f.kind).get(),
                                 t(f.kindName).get(), t(f.amount).get(), t(f.pCode).get(),
                                 t(f.time).get(), flags, &rc);
            break;
        }
        EXPECT_EQ(errorCode(), rc) << "the result is the last error";
        return rc;
    }
    std::future<std::int32_t> start(Member member, Fields f, std::int32_t flags = 0) {
        return std::async(std::launch::async,
                          [this, member, f, flags] { return call(member, f, flags); });
    }
    std::int32_t verifyPin() {
        std::int32_t rc = -1;
        EXPECT_EQ(control->VerifyPIN(text(reader).get(), text("").get(),
                                     text(card_test::kPin).get(), 0, 0, &rc),
                  S_OK);
        return rc;
    }
    std::string tsac() {
        BstrString out;
        EXPECT_EQ(control->GetTSAC(out.receive()), S_OK);
        return out.get() != nullptr ? utf8(out.get()) : "";
    }
    std::string tsn() {
        BstrString out;
        EXPECT_EQ(control->GetTSN(out.receive()), S_OK);
        return out.get() != nullptr ? utf8(out.get()) : "";
    }
    bool getTacSent() const {
        for (const auto& c : commands()) {
            if (c.size() > 1 && c[1] == 0xE2) {
                return true;
            }
        }
        return false;
    }
    // Pulls the card, puts it (or another) back, and waits until the
    // dialog's OK is enabled.
    void replugAndConfirm(corvantix_user::Window dialog,
                          std::optional<card_emulator::CardProfile> another = std::nullopt) {
        ASSERT_TRUE(rig.removeCard(*card)) << rig.why();
        ASSERT_TRUE(another ? rig.reinsertCard(*card, *another) : rig.reinsertCard(*card))
            << rig.why();
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(user.advance(1s));
            if (user.click(dialog, kOk)) {
                return;
            }
        }
        FAIL() << "OK never enabled";
    }
    // Cancels the open confirmation, or lets its countdown run out; the
    // method's result (-1 when the dialog or the result did not come).
    std::int32_t leaveConfirmation(std::future<std::int32_t>& result, std::uint32_t dialogId,
                                   bool cancel) {
        const auto dialog = user.waitForDialog(dialogId, 5s);
        EXPECT_TRUE(dialog) << dialogId;
        if (!dialog || !(cancel ? user.click(*dialog, kCancel).ok : user.advance(60s).ok) ||
            result.wait_for(10s) != std::future_status::ready) {
            return -1;
        }
        return result.get();
    }
    // A card swapped while the confirmation is open, and the same card
    // answering no serial number on either read, both give 3002 with no GET
    // TAC sent.
    void expectAnotherCardRefused(const std::function<std::future<std::int32_t>()>& begin,
                                  std::uint32_t dialogId) {
        card_emulator::CardProfile another = card_test::testProfile();
        another.serial[15] ^= 0x01;
        for (const bool swapped : {true, false}) {
            card->clearLog();
            card->clearFaults();
            if (!swapped) {
                card->addFault(card_emulator::Fault::answer(0xB0, {}).repeat(2));
            }
            auto result = begin();
            const auto dialog = user.waitForDialog(dialogId, 5s);
            ASSERT_TRUE(dialog) << swapped;
            ASSERT_NO_FATAL_FAILURE(
                replugAndConfirm(*dialog, swapped ? std::optional(another) : std::nullopt));
            ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
            EXPECT_EQ(result.get(), 3002) << swapped;
            EXPECT_EQ(commands().back(), card_test::kReadSerial) << swapped;
            EXPECT_FALSE(getTacSent()) << swapped;
        }
    }
    // Whether another program can share the card: the control's own
    // connection after a reconnect does not hold it exclusively.
    bool cardShared() const {
        namespace pcsc = platform::pcsc;
        pcsc::Context context;
        pcsc::Card probe;
        return pcsc::Context::establish(pcsc::kScopeUser, context) == pcsc::kSuccess &&
               pcsc::Card::connect(context, reader, pcsc::kShareShared,
                                   pcsc::kProtocolT0 | pcsc::kProtocolT1, probe) == pcsc::kSuccess;
    }
    static std::string tsnText(std::uint32_t counter) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%08u", static_cast<unsigned>(counter));
        return digits;
    }

    corvantix_user::Client user{getpid()};
};

// ---- Records, with the PIN verified before: GET TAC alone ------------------------------

TEST_F(Transactions, EachMemberSendsItsRecordAndKeepsTheTac) {
    ASSERT_EQ(verifyPin(), 0);
    Fields longest;
    longest.inAccount = std::string(63, '9'); // the transfer record fills 127 bytes
    Fields inquiry;
    inquiry.pCode = "2500001"; // 31 bytes
    const struct {
        const char* name;
        Member member;
        Fields fields;
    } rows[] = {
        {"inquiry", Member::Inquiry, Fields{}},
        {"inquiry of 31 bytes", Member::Inquiry, inquiry},
        {"transfer", Member::Transfer, Fields{}},
        {"transfer of 127 bytes", Member::Transfer, longest},
        {"tax", Member::Tax, Fields{}},
        {"fee", Member::Fee, Fields{}},
    };
    for (const auto& row : rows) {
        card->clearLog();
        const std::uint32_t counter = card->tsn();
        EXPECT_EQ(call(row.member, row.fields), 0) << row.name;
        const Bytes record = recordOf(row.member, row.fields);
        EXPECT_EQ(commands(), std::vector<Bytes>{card_test::getTacCommand(record, false)})
            << row.name;
        EXPECT_EQ(tsac(), toHex(card_test::expectedTac(counter, record, false))) << row.name;
        EXPECT_EQ(tsn(), tsnText(counter)) << row.name;
    }
}

// ---- Refusals before anything is sent --------------------------------------------------

TEST_F(Transactions, BadFieldsAreRefusedBeforeTheCard) {
    const auto with = [](auto change) {
        Fields f;
        change(f);
        return f;
    };
    const struct {
        const char* name;
        Member member;
        Fields fields;
        std::int32_t expected;
    } rows[] = {
        {"13 digits", Member::Transfer, with([](Fields& f) { f.amount = "1234567890123"; }), 5005},
        {"an empty amount", Member::Transfer, with([](Fields& f) { f.amount = ""; }), 5005},
        {"an amount with a point", Member::Fee, with([](Fields& f) { f.amount = "15.00"; }), 5005},
        {"an amount with a sign", Member::Tax, with([](Fields& f) { f.amount = "-1500"; }), 5005},
        {"a record of 128 bytes", Member::Transfer,
         with([](Fields& f) { f.inAccount = std::string(64, '9'); }), 5005},
        {"an inquiry of 32 bytes", Member::Inquiry, with([](Fields& f) { f.pCode = "25000012"; }),
         5005},
        {"inquiry keys of 23 characters", Member::Inquiry,
         with([](Fields& f) { f.inquiryAccount = "001234567890123"; }), 5005},
        {"a missing bank number", Member::Transfer, with([](Fields& f) { f.inBank = ""; }), 5005},
        {"a missing fee type", Member::Fee, with([](Fields& f) { f.kind = ""; }), 5005},
        {"a name code page 950 lacks", Member::Tax,
         with([](Fields& f) { f.kindName = "Water \xF0\x9F\x98\x80"; }), 5901},
    };
    for (const auto& row : rows) {
        card->clearLog();
        EXPECT_EQ(call(row.member, row.fields), row.expected) << row.name;
        EXPECT_TRUE(commands().empty()) << row.name;
    }
    // Without a card, the card test comes first for the lengths, but after
    // the missing texts.
    std::int32_t rc = -1;
    ASSERT_EQ(control->DisconnectCard(&rc), S_OK);
    EXPECT_EQ(call(Member::Transfer, rows[0].fields), 13);
    EXPECT_EQ(call(Member::Inquiry, rows[6].fields), 13);
    EXPECT_EQ(call(Member::Transfer, rows[7].fields), 5005);
}

// The confirmation shows a bank and account text whole or the member refuses
// it: a text cut at its field would show another account than the one
// signed.
TEST_F(Transactions, AccountTextsFitTheirConfirmationFieldWhole) {
    const auto with = [](auto change) {
        Fields f;
        change(f);
        return f;
    };
    // 110 characters, the solidus and 16 digits fill the field's 127 units.
    const std::string fits(110, '8');
    const struct {
        const char* name;
        Member member;
        Fields fields;
    } refused[] = {
        {"a to-bank of 125 characters", Member::Transfer,
         with([](Fields& f) { f.inBank = std::string(125, '8'); })},
        {"one unit over", Member::Transfer, with([&](Fields& f) { f.inBank = fits + "8"; })},
        {"a from-bank of 125 characters", Member::Fee,
         with([](Fields& f) { f.outBank = std::string(125, '8'); })},
    };
    for (const auto& row : refused) {
        card->clearLog();
        auto result = start(row.member, row.fields);
        if (result.wait_for(5s) != std::future_status::ready) {
            ADD_FAILURE() << row.name << ": a confirmation of a cut text";
            EXPECT_NE(
                leaveConfirmation(
                    result, row.member == Member::Transfer ? kTransferDialog : kPayDialog, true),
                -1);
            continue;
        }
        EXPECT_EQ(result.get(), 5005) << row.name;
        EXPECT_TRUE(commands().empty()) << row.name;
    }
    const Fields whole = with([&](Fields& f) { f.inBank = fits; });
    auto result = start(Member::Transfer, whole);
    const auto dialog = user.waitForDialog(kTransferDialog, 5s);
    ASSERT_TRUE(dialog);
    const auto shown = user.dump(*dialog);
    ASSERT_TRUE(shown) << shown.error;
    EXPECT_EQ(textOf(shown.body, kToAccount), fits + "／" + whole.inAccount);
    EXPECT_EQ(leaveConfirmation(result, kTransferDialog, true), 5070);
}

TEST_F(Transactions, PinsAreCheckedInEveryMember) {
    const struct {
        const char* pin;
        std::int32_t expected;
    } pins[] = {{"24681a", 33}, {"24681", 32}, {"2468102468102", 32}};
    for (const Member member : {Member::Inquiry, Member::Transfer, Member::Tax, Member::Fee}) {
        for (const auto& p : pins) {
            card->clearLog();
            Fields f;
            f.pin = p.pin;
            EXPECT_EQ(call(member, f), p.expected) << p.pin;
            EXPECT_EQ(commands(), std::vector<Bytes>{card_test::kSelectApplication}) << p.pin;
        }
    }
}

// ---- The inquiry: VERIFY, then GET TAC --------------------------------------------------

TEST_F(Transactions, InquiryVerifiesThenAsksForTheTac) {
    const std::uint32_t counter = card->tsn();
    EXPECT_EQ(call(Member::Inquiry, Fields{}), 0);
    const Bytes record = recordOf(Member::Inquiry, Fields{});
    EXPECT_EQ(commands(), (std::vector<Bytes>{card_test::kSelectApplication, card_test::kVerify,
                                              card_test::getTacCommand(record, false)}));
    EXPECT_EQ(tsac(), toHex(card_test::expectedTac(counter, record, false)));
}

// ---- The confirmation -----------------------------------------------------------------------

TEST_F(Transactions, TransferCancelledOrTimedOutSendsNoTac) {
    for (const bool cancel : {true, false}) {
        card->clearLog();
        auto result = start(Member::Transfer, Fields{});
        EXPECT_EQ(leaveConfirmation(result, kTransferDialog, cancel), cancel ? 5070 : 5073);
        EXPECT_EQ(commands(), (std::vector<Bytes>{card_test::kSelectApplication, card_test::kVerify,
                                                  card_test::kReadSerial}));
    }
    EXPECT_EQ(tsac(), "");
}

// pcsc-lite names readers in UTF-8: one with "\xc3\xa0" in its name is
// connected, verified and watched like any other.
class NonAsciiReader : public Transactions {
protected:
    NonAsciiReader() : Transactions({{"Lecteur \xc3\xa0 puce"}}) {}
};

TEST_F(NonAsciiReader, ItsTransferIsConfirmedByPullingItsCard) {
    ASSERT_EQ(reader, "Lecteur \xc3\xa0 puce 00 00");
    const std::uint32_t counter = card->tsn();
    auto result = start(Member::Transfer, Fields{});
    const auto dialog = user.waitForDialog(kTransferDialog, 5s);
    ASSERT_TRUE(dialog) << "no confirmation";
    ASSERT_NO_FATAL_FAILURE(replugAndConfirm(*dialog));
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(tsac(),
              toHex(card_test::expectedTac(counter, recordOf(Member::Transfer, Fields{}), false)));
    EXPECT_EQ(verifyPin(), 0) << "VerifyPIN names the reader too";
}

TEST_F(Transactions, AnotherCardOrNoSerialGives3002WithoutTac) {
    expectAnotherCardRefused([this] { return start(Member::Transfer, Fields{}); }, kTransferDialog);
}

TEST_F(Transactions, TaxPaymentReadsTheSerialFirstAndShowsDialog205) {
    const std::uint32_t counter = card->tsn();
    Fields f;
    f.pin = ""; // asked for in the PIN dialog
    auto result = start(Member::Tax, f);
    const auto pinDialog = user.waitForDialog(kPinDialog, 5s);
    ASSERT_TRUE(pinDialog);
    for (const char digit : card_test::kPin) {
        ASSERT_TRUE(user.press(*pinDialog, std::string(1, digit)));
    }
    ASSERT_TRUE(user.click(*pinDialog, kOk));
    const auto dialog = user.waitForDialog(kPayDialog, 5s);
    ASSERT_TRUE(dialog);
    const auto shown = user.dump(*dialog);
    ASSERT_TRUE(shown) << shown.error;
    EXPECT_EQ(textOf(shown.body, kFromAccount), "004／0012345678901234");
    EXPECT_EQ(textOf(shown.body, kPayKind), "Water bill");
    EXPECT_EQ(textOf(shown.body, kAmount), "1500");
    EXPECT_EQ(*shown.body.find("dialog")->find("caption")->asString(), "繳費稅確認");
    ASSERT_NO_FATAL_FAILURE(replugAndConfirm(*dialog));
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    const Bytes record = recordOf(Member::Tax, f);
    EXPECT_EQ(commands(), (std::vector<Bytes>{card_test::kSelectApplication, card_test::kReadSerial,
                                              card_test::kVerify, card_test::kSelectApplication,
                                              card_test::kReadSerial, card_test::kVerify,
                                              card_test::getTacCommand(record, false)}));
    EXPECT_EQ(tsac(), toHex(card_test::expectedTac(counter, record, false)));
    EXPECT_TRUE(cardShared()) << "the reconnect holds the card exclusively";
}

// ---- Status words -------------------------------------------------------------------------

TEST_F(Transactions, StatusWordsOfTheInquiryRoad) {
    ASSERT_EQ(call(Member::Inquiry, Fields{}), 0);
    const std::string tacBefore = tsac();
    const std::string tsnBefore = tsn();
    ASSERT_FALSE(tacBefore.empty());
    const struct {
        const char* name;
        card_emulator::Fault fault;
        std::int32_t expected;
    } rows[] = {
        {"SELECT refused", card_emulator::Fault::statusWord(0xA4, 0x6A82), 3002},
        {"wrong PIN", card_emulator::Fault::statusWord(0x20, 0x6608), 30},
        {"blocked", card_emulator::Fault::statusWord(0x20, 0x6620), 31},
        {"VERIFY 6E00", card_emulator::Fault::statusWord(0x20, 0x6E00), 3005},
        {"GET TAC 69F0", card_emulator::Fault::statusWord(0xE2, 0x69F0), 5070},
        {"GET TAC 6E00", card_emulator::Fault::statusWord(0xE2, 0x6E00), 3005},
        {"GET TAC other", card_emulator::Fault::statusWord(0xE2, 0x6A80), 5001},
        {"an answer without a status word", card_emulator::Fault::oneByte(0xE2, 0x90), 5001},
    };
    for (const auto& row : rows) {
        card->clearFaults();
        card->addFault(row.fault);
        EXPECT_EQ(call(Member::Inquiry, Fields{}), row.expected) << row.name;
        EXPECT_EQ(tsac(), tacBefore) << row.name;
        EXPECT_EQ(tsn(), tsnBefore) << row.name;
    }
}

TEST_F(Transactions, FeeMaps6E00ToAGeneralFailureButNotOnItsSerialRead) {
    const struct {
        Member member;
        std::uint8_t instruction;
        std::int32_t expected;
    } rows[] = {
        {Member::Fee, 0x20, 5001},
        {Member::Fee, 0xB0, 3005},
        {Member::Transfer, 0x20, 3005},
        {Member::Transfer, 0xB0, 3005},
    };
    for (const auto& row : rows) {
        card->clearFaults();
        card->addFault(card_emulator::Fault::statusWord(row.instruction, 0x6E00));
        EXPECT_EQ(call(row.member, Fields{}), row.expected)
            << static_cast<int>(row.member) << " " << static_cast<int>(row.instruction);
    }
    // GET TAC, after VerifyPIN set its flag.
    card->clearFaults();
    ASSERT_EQ(verifyPin(), 0);
    for (const auto& [member, expected] :
         {std::pair{Member::Fee, 5001}, std::pair{Member::Transfer, 3005}}) {
        card->addFault(card_emulator::Fault::statusWord(0xE2, 0x6E00));
        EXPECT_EQ(call(member, Fields{}), expected);
    }
}

// A refused PIN verifies nothing: the transfer after it asks for its
// confirmation.
TEST_F(Transactions, AWrongPinLeavesTheTransferToItsConfirmation) {
    std::int32_t rc = -1;
    ASSERT_EQ(
        control->VerifyPIN(text(reader).get(), text("").get(), text("246811").get(), 0, 0, &rc),
        S_OK);
    ASSERT_EQ(rc, 30);
    card->clearLog();
    auto result = start(Member::Transfer, Fields{});
    EXPECT_EQ(leaveConfirmation(result, kTransferDialog, true), 5070);
    EXPECT_FALSE(getTacSent());
}

// ---- The keypad reader ---------------------------------------------------------------------

class KeypadTransactions : public Transactions {
protected:
    void SetUp() override {
        profile.keypad = true;
        Transactions::SetUp();
        const std::string list = encipherList("Virtual PCD 0");
        ASSERT_FALSE(list.empty());
        std::int32_t rc = -1;
        ASSERT_EQ(control->DetectAdvReader(text(reader).get(), text(list).get(), 0x800000, 0, &rc),
                  S_OK);
        ASSERT_EQ(rc, 0);
        card->clearLog();
    }
};

TEST_F(KeypadTransactions, GoFromSelectToGetTac) {
    for (const std::int32_t flags : {0, 0x800000}) {
        card->clearLog();
        const std::uint32_t counter = card->tsn();
        Fields f;
        f.pin = "";
        // Slow enough for the prompt to show while the reader works.
        card->addFault(card_emulator::Fault::delayed(0xE2, 1500ms));
        auto result = start(Member::Transfer, f, flags);
        const auto prompt = user.waitForDialog(kReaderPromptDialog, 1s);
        EXPECT_EQ(prompt.has_value(), flags == 0) << flags;
        ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(result.get(), 0);
        const Bytes record = recordOf(Member::Transfer, f);
        EXPECT_EQ(commands(), (std::vector<Bytes>{card_test::kSelectApplication,
                                                  card_test::getTacCommand(record, false)}));
        EXPECT_EQ(tsac(), toHex(card_test::expectedTac(counter, record, false)));
        for (const auto& d : user.listDialogs()) {
            EXPECT_NE(d.find("template")->asNumber(), std::int64_t{kReaderPromptDialog})
                << "the prompt closes with the method";
        }
    }
}

// ---- The generic authorisation ---------------------------------------------------------------

constexpr std::uint32_t kTacInfoDialog = 207;
constexpr std::uint32_t kReaderInstructionDialog = 229;
constexpr std::uint32_t kRemoveAndInsertDialog = 30011; // the English detection dialog
constexpr int kTacMessage = 231;

class GenericTac : public Transactions {
protected:
    std::future<std::int32_t> generate(std::string pin, std::int32_t code, std::string fields,
                                       std::optional<std::string> lines, std::int32_t flags = 0) {
        return std::async(std::launch::async, [=, this] {
            std::int32_t rc = -12345;
            const BstrString confirm = lines ? text(*lines) : BstrString();
            control->GenerateTAC(text(pin).get(), code, text(fields).get(), confirm.get(), flags,
                                 &rc);
            EXPECT_EQ(errorCode(), rc) << "the result is the last error";
            return rc;
        });
    }
    bool okEnabled(corvantix_user::Window dialog) {
        const auto reply = user.dump(dialog);
        const JsonValue* ok = reply ? controlOf(reply.body, kOk) : nullptr;
        return ok != nullptr && ok->find("enabled")->asBool() == true;
    }
    // The clock a second at a time until OK is enabled, at most `ticks` times.
    bool okEnabledWithin(corvantix_user::Window dialog, int ticks) {
        for (int i = 0; i < ticks; ++i) {
            std::this_thread::sleep_for(300ms); // the watcher follows pcscd in real time
            EXPECT_TRUE(user.advance(1s));
            if (okEnabled(dialog)) {
                return true;
            }
        }
        return false;
    }
    // The TAC the card's key gives over the record, as GetTSAC shows it.
    static std::string tacOver(std::uint32_t counter, const std::string& record) {
        return toHex(card_test::expectedTac(counter, ascii(record), false));
    }
    // The commands of a road whose confirmation needs no replug: the first
    // SELECT and serial read, the same after the reconnect, then VERIFY.
    static std::vector<Bytes> checkedRoad(const std::string& record) {
        return {card_test::kSelectApplication,
                card_test::kReadSerial,
                card_test::kSelectApplication,
                card_test::kReadSerial,
                card_test::kVerify,
                card_test::getTacCommand(ascii(record), false)};
    }
};

TEST_F(GenericTac, EachRoadSendsTheRecordItBuildsFromTheList) {
    const struct {
        const char* name;
        std::int32_t code;
        const char* fields;
        std::string record;
    } rows[] = {
        {"inquiry", 2500, "2500;CHK000000001;000123456789", "2500CHK000000001000123456789"},
        {"tax", 2521, "2521;1500;TAXACCT1;T1;CHK;041;0004",
         "2521"
         "00000000150000"
         "TAXACCT1"
         "T1"
         "CHK"
         "041"
         "0004"},
        {"fee", 2531, "2531;99;T1;CHK;041;0004;15;20240102",
         "2531"
         "00000000009900"
         "T1"
         "CHK"
         "041"
         "0004"
         "15"
         "20240102"},
        {"fee by 2568", 2568, "2568;1;a;b;c;d;e;f",
         "2568"
         "00000000000100"
         "abcdef"},
        {"named fields, a:b:c gives b:c", 2561, "p:2561;amount:7;;t:T1:x;c:C;b:041;a:0004",
         "2561"
         "00000000000700"
         "T1:x"
         "C"
         "041"
         "0004"},
    };
    for (const auto& row : rows) {
        card->clearLog();
        const std::uint32_t counter = card->tsn();
        auto result = generate(card_test::kPin, row.code, row.fields, std::nullopt);
        ASSERT_EQ(result.wait_for(20s), std::future_status::ready) << row.name;
        EXPECT_EQ(result.get(), 0) << row.name;
        EXPECT_TRUE(user.listDialogs().empty()) << row.name << ": no lines, no confirmation";
        EXPECT_EQ(commands(), checkedRoad(row.record)) << row.name;
        EXPECT_EQ(tsac(), tacOver(counter, row.record)) << row.name;
    }
}

TEST_F(GenericTac, AMissingPinIsAskedForOnTheKeypad) {
    const std::uint32_t counter = card->tsn();
    auto result = generate("", 2500, "2500;CHK000000001;000123456789", std::nullopt);
    const auto pin = user.waitForDialog(kPinDialog, 10s);
    ASSERT_TRUE(pin) << "the PIN is asked for when none is given";
    for (const char digit : card_test::kPin) {
        ASSERT_TRUE(user.press(*pin, std::string(1, digit)));
    }
    ASSERT_TRUE(user.click(*pin, kOk));
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(tsac(), tacOver(counter, "2500CHK000000001000123456789"));
}

TEST_F(GenericTac, TransferConfirmedAfterTheCardWasPulledAndPutBack) {
    // The code, the amount field, then terminal, check id, bank and account.
    const std::string record = "2561"
                               "00000000150000"
                               "T0001"
                               "CHK00000000"
                               "041"
                               "0004111122223333";
    const std::uint32_t tsn = card->tsn();
    auto result = generate(card_test::kPin, 2561,
                           "p:2561;amount:1500;;terminal:T0001;check:CHK00000000;bank:041;"
                           "account:0004111122223333",
                           "Amount:1500:TWD;;To account:0004111122223333:x;Plain line");
    const auto dialog = user.waitForDialog(kTacInfoDialog, 5s);
    ASSERT_TRUE(dialog) << "no confirmation";
    const auto shown = user.dump(*dialog);
    ASSERT_TRUE(shown) << shown.error;
    EXPECT_EQ(textOf(shown.body, kTacMessage),
              "Amount:1500\nTo account:0004111122223333\nPlain line\n");
    EXPECT_FALSE(okEnabledWithin(*dialog, 2)) << "OK before the card was pulled";
    ASSERT_TRUE(rig.removeCard(*card)) << rig.why();
    EXPECT_FALSE(okEnabledWithin(*dialog, 2)) << "OK with the card out";
    ASSERT_TRUE(rig.reinsertCard(*card)) << rig.why();
    ASSERT_TRUE(okEnabledWithin(*dialog, 10));
    ASSERT_TRUE(user.click(*dialog, kOk));
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(commands(), checkedRoad(record));
    EXPECT_EQ(tsac(), tacOver(tsn, record));
    EXPECT_TRUE(cardShared()) << "the reconnect holds the card exclusively";
}

// With a replug flag the card is pulled out and put back once more after the
// confirmation, on the detection dialog, and the control connects again.
TEST_F(GenericTac, TransferWithTheReplugFlagAsksForTheCardAgain) {
    const std::string record = "2561"
                               "00000000000500"
                               "T1"
                               "C1"
                               "041"
                               "0004";
    const std::uint32_t counter = card->tsn();
    auto result = generate(card_test::kPin, 2561, "2561;5;T1;C1;041;0004", "Amount:5", 0x10000);
    const auto dialog = user.waitForDialog(kTacInfoDialog, 5s);
    ASSERT_TRUE(dialog);
    ASSERT_NO_FATAL_FAILURE(replugAndConfirm(*dialog));
    const auto replug = user.waitForDialog(kRemoveAndInsertDialog, 10s);
    ASSERT_TRUE(replug) << "no remove-and-insert dialog";
    EXPECT_EQ(result.wait_for(1s), std::future_status::timeout) << "it waits for the card";
    ASSERT_TRUE(rig.removeCard(*card)) << rig.why();
    ASSERT_TRUE(rig.reinsertCard(*card)) << rig.why();
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(commands(), checkedRoad(record));
    EXPECT_EQ(tsac(), tacOver(counter, record));
}

TEST_F(GenericTac, AnotherCardOrNoSerialGives3002WithoutTac) {
    expectAnotherCardRefused(
        [this] { return generate(card_test::kPin, 2561, "2561;5;T1;C1;041;0004", "Amount:5"); },
        kTacInfoDialog);
    EXPECT_EQ(tsac(), "");
}

TEST_F(GenericTac, CodesBeforeTheCard) {
    const struct {
        const char* name;
        std::int32_t code;
        std::string fields;
        std::int32_t expected;
    } rows[] = {
        {"unknown code", 2525, "2525;1;2;3;4;5;6;7", 5004},
        {"another unknown", 2560, "x", 5004},
        {"no field list", 2561, "", 5005},
        {"too few fields", 2561, "2561;1500;T1;CHK", 5005},
        {"empty fields are no fields", 2561, "2561;1500;;;T1;CHK;;041", 5005},
        {"amount not digits", 2561, "2561;15.00;T1;CHK;041;0004", 5005},
        {"amount of 13 digits", 2561, "2561;1234567890123;T1;CHK;041;0004", 5005},
        {"inquiry pair of 23", 2500, "2500;CHK00000001;000123456789", 5005},
        {"tax account under 8", 2521, "2521;1;TAXACC1;T1;CHK;041;0004", 5005},
        {"a record over 250 bytes", 2561, "2561;1;T1;CHK;041;0004" + std::string(240, '9'), 5005},
    };
    for (const auto& row : rows) {
        auto result = generate(card_test::kPin, row.code, row.fields, "Amount:1");
        ASSERT_EQ(result.wait_for(10s), std::future_status::ready) << row.name;
        EXPECT_EQ(result.get(), row.expected) << row.name;
    }
    EXPECT_TRUE(user.listDialogs().empty());
    EXPECT_FALSE(getTacSent());
    std::int32_t rc = -1;
    ASSERT_EQ(control->DisconnectCard(&rc), S_OK);
    auto result = generate(card_test::kPin, 2525, "2525", std::nullopt);
    EXPECT_EQ(result.get(), 13) << "no card before the code is looked at";
}

TEST_F(GenericTac, CancelAndCountdownEndTheConfirmation) {
    for (const bool cancel : {true, false}) {
        auto result = generate(card_test::kPin, 2531, "2531;1;a;b;c;d;e;f", "Fee:1");
        EXPECT_EQ(leaveConfirmation(result, kTacInfoDialog, cancel), cancel ? 5070 : 5073);
    }
    EXPECT_EQ(commands().back(), card_test::kReadSerial) << "nothing after the serial number";
    EXPECT_FALSE(getTacSent());
}

// A GET TAC that the card answers 90 00 without a TAC fails, and no TAC
// of an earlier transaction is left for GetTSAC to hand out as this one's.
TEST_F(GenericTac, GetTacAnswered9000WithoutATacLeavesNoTac) {
    const std::function<std::int32_t()> roads[] = {
        [this] { return call(Member::Inquiry, Fields{}); },
        [this] { return call(Member::Fee, Fields{}); },
        [this] {
            return generate(card_test::kPin, 2500, "2500;CHK000000001;000123456789", std::nullopt)
                .get();
        },
    };
    for (const Bytes& answer : {Bytes{}, Bytes(18, 0x31)}) {
        for (std::size_t road = 0; road < std::size(roads); ++road) {
            // No confirmation for the fee; GenerateTAC's reconnect ends the flag.
            ASSERT_EQ(verifyPin(), 0);
            ASSERT_EQ(roads[road](), 0) << road;
            ASSERT_FALSE(tsac().empty()) << road;
            card->addFault(card_emulator::Fault::answer(0xE2, answer));
            EXPECT_EQ(roads[road](), 5001) << road << ", " << answer.size() << " bytes";
            EXPECT_EQ(tsac(), "") << road << ", " << answer.size() << " bytes";
            EXPECT_EQ(tsn(), "") << road << ", " << answer.size() << " bytes";
        }
    }
}

// A keypad reader takes the PIN itself: no PIN dialog and no VERIFY; GET
// TAC goes once the user has pressed OK on the road's instruction.
TEST_F(KeypadTransactions, GenericInquiryWaitsForTheReaderInstruction) {
    const std::uint32_t counter = card->tsn();
    auto result = std::async(std::launch::async, [&] {
        std::int32_t rc = -12345;
        control->GenerateTAC(text("").get(), 2500, text("2500;CHK000000001;000123456789").get(),
                             BstrString().get(), 0, &rc);
        return rc;
    });
    const auto instruction = user.waitForDialog(kReaderInstructionDialog, 5s);
    ASSERT_TRUE(instruction) << "no reader instruction";
    const auto shown = user.dump(*instruction);
    ASSERT_TRUE(shown) << shown.error;
    EXPECT_EQ(*shown.body.find("dialog")->find("caption")->asString(), "餘額查詢 Balance Inquary");
    EXPECT_EQ(result.wait_for(500ms), std::future_status::timeout);
    EXPECT_FALSE(getTacSent()) << "GET TAC before OK";
    ASSERT_TRUE(user.click(*instruction, kOk));
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    const Bytes record = ascii("2500CHK000000001000123456789");
    EXPECT_EQ(commands(), (std::vector<Bytes>{card_test::kSelectApplication, card_test::kReadSerial,
                                              card_test::kSelectApplication, card_test::kReadSerial,
                                              card_test::getTacCommand(record, false)}));
    EXPECT_EQ(tsac(), toHex(card_test::expectedTac(counter, record, false)));
}

// The reader asks for the PIN only after the user's OK: an instruction left
// open until its ceiling ends the road with nothing more sent.
TEST_F(KeypadTransactions, GenericTacStopsWhenTheReaderInstructionIsLeft) {
    auto result = std::async(std::launch::async, [&] {
        std::int32_t rc = -12345;
        control->GenerateTAC(text("").get(), 2561, text("2561;5;T1;C1;041;0004").get(),
                             BstrString().get(), 0, &rc);
        return rc;
    });
    const auto instruction = user.waitForDialog(kReaderInstructionDialog, 5s);
    ASSERT_TRUE(instruction) << "no reader instruction";
    ASSERT_TRUE(user.advance(300s)); // the modal ceiling
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), 5073);
    EXPECT_EQ(errorCode(), 5073);
    EXPECT_EQ(commands().back(), card_test::kReadSerial) << "nothing after the serial number";
    EXPECT_FALSE(getTacSent());
    EXPECT_EQ(tsac(), "");
}

} // namespace
