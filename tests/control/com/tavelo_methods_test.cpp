// The card methods through the class, with a private pcscd, the card
// emulator and the scripted user on the control's own dialogs (manual
// clock): the codes of PIN verification and change, the reads and their
// bounds, the TACs, and the keypad-reader list as a test enciphers it with
// the openssl tool.

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
#include <future>
#include <sstream>
#include <thread>

namespace {

using namespace tavelo_class;
using namespace control_test;
using namespace std::chrono_literals;
using namespace std::string_literals;
using card_emulator::Bytes;
using card_test::concat;
using card_test::hex;
using testing_support::utf8;

constexpr std::uint32_t kChangePinDialog = 28002;
constexpr std::uint32_t kVerifyCodeDialog = 29000;
constexpr int kOldPinEdit = 42001;
constexpr int kNewPinEdit = 42002;
constexpr int kConfirmEdit = 42003;
constexpr std::int32_t kCaptcha = 0x8000;

class TaveloMethods : public ConnectedControl {
protected:
    TaveloMethods() : ConnectedControl("tavelo-methods") {}

    void TearDown() override {
        const std::string all = endAndReadLog();
        EXPECT_FALSE(all.empty()) << "the control logged nothing";
        for (const std::string& secret :
             {std::string(card_test::kPin), std::string("135792"), std::string("246811"),
              std::string("24 68 10"), std::string("246810FF")}) {
            EXPECT_EQ(all.find(secret), std::string::npos) << secret << " in the log";
        }
        if (HasFailure()) {
            std::fprintf(stderr, "control log:\n%s\n", all.c_str());
        }
    }

    // A number method on a thread of its own, so the scripted user can
    // answer its dialogs.
    template <class Call>
    std::future<std::int32_t> start(Call call) {
        return std::async(std::launch::async, [this, call] {
            std::int32_t rc = -12345;
            call(*control.get(), &rc);
            return rc;
        });
    }
    std::int32_t verifyPin(std::string_view pin, std::int32_t flags = 0,
                           std::string_view list = "") {
        std::int32_t rc = -1;
        EXPECT_EQ(control->VerifyPIN(text(reader).get(), text(list).get(), text(pin).get(), flags,
                                     0, &rc),
                  S_OK);
        return rc;
    }
    std::optional<std::string> textResult(const std::function<HRESULT(BSTR*)>& call,
                                          std::int32_t& code) {
        BstrString result;
        EXPECT_EQ(call(result.receive()), S_OK);
        code = errorCode();
        if (result.get() == nullptr) {
            return std::nullopt;
        }
        return utf8(result.get());
    }
    void typeOnKeypad(corvantix_user::Window dialog, std::string_view digits) {
        for (const char digit : digits) {
            const auto reply = user.press(dialog, std::string(1, digit));
            ASSERT_TRUE(reply) << reply.error;
        }
    }

    corvantix_user::Client user{getpid()};
};

// ---- VerifyPIN: codes ----------------------------------------------------------------

struct PinCase {
    const char* name;
    int triesBefore;
    std::string pin;
    bool typed; // in the PIN dialog; else given
    bool cancel;
    std::int32_t expected;
    bool verifySent;
    int triesAfter;
};

void PrintTo(const PinCase& c, std::ostream* os) {
    *os << c.name;
}

const PinCase kPinCases[] = {
    {"RightPinTyped", 3, "246810", true, false, 0, true, 3},
    {"RightPinGiven", 2, "246810", false, false, 0, true, 3},
    {"WrongPinTwoTriesLeft", 3, "246811", false, false, 30, true, 2},
    {"WrongPinOneTryLeft", 2, "246811", true, false, 30, true, 1},
    {"WrongPinBlocks", 1, "246811", false, false, 31, true, 0},
    {"Blocked", 0, "246810", false, false, 31, true, 0},
    {"FiveDigitsGiven", 3, "24681", false, false, 32, false, 3},
    {"FiveDigitsTyped", 3, "24681", true, false, 32, false, 3},
    {"ThirteenDigits", 3, "2468102468102", false, false, 32, false, 3},
    {"ALetter", 3, "24681a", false, false, 33, false, 3},
    {"Cancel", 3, "", true, true, 5070, false, 3},
};

class VerifyPinCodes : public TaveloMethods, public ::testing::WithParamInterface<PinCase> {
protected:
    void SetUp() override {
        profile.triesLeft = GetParam().triesBefore;
        TaveloMethods::SetUp();
    }
};

TEST_P(VerifyPinCodes, FollowTheCardAndTheChecks) {
    const PinCase& c = GetParam();
    auto result = start([&](IVondelTaveloATL& object, std::int32_t* rc) {
        object.VerifyPIN(text(reader).get(), text("").get(), text(c.typed ? "" : c.pin).get(), 0, 0,
                         rc);
    });
    if (c.typed) {
        const auto dialog = user.waitForDialog(kPinDialog, 5s);
        ASSERT_TRUE(dialog) << "no PIN dialog";
        if (c.cancel) {
            ASSERT_TRUE(user.click(*dialog, kCancel));
        } else {
            typeOnKeypad(*dialog, c.pin);
            ASSERT_TRUE(user.click(*dialog, kOk));
        }
    }
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), c.expected);
    EXPECT_EQ(errorCode(), c.expected);
    std::vector<Bytes> expected = {card_test::kSelectApplication};
    if (c.verifySent) {
        const auto block = card_emulator::pinBlock(
            std::span(reinterpret_cast<const std::uint8_t*>(c.pin.data()), c.pin.size()));
        ASSERT_TRUE(block);
        expected.push_back(concat(hex("00 20 00 10 08"), Bytes(block->begin(), block->end())));
    }
    EXPECT_EQ(commands(), expected);
    EXPECT_EQ(card->triesLeft(), c.triesAfter);
}

INSTANTIATE_TEST_SUITE_P(TaveloMethods, VerifyPinCodes, ::testing::ValuesIn(kPinCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TaveloMethods, VerifyPinWithTheCardPulledOutCannotConnectAgain) {
    ASSERT_TRUE(rig.removeCard(*card, 100ms));
    EXPECT_EQ(verifyPin(card_test::kPin), 3005);
    EXPECT_TRUE(commands().empty());
}

TEST_F(TaveloMethods, TheCaptchaComesFirstAndItsCancelEndsTheCall) {
    auto result = start([&](IVondelTaveloATL& object, std::int32_t* rc) {
        object.VerifyPIN(text(reader).get(), text("").get(), text(card_test::kPin).get(), 0x8000, 0,
                         rc);
    });
    const auto dialog = user.waitForDialog(kVerifyCodeDialog, 5s);
    ASSERT_TRUE(dialog) << "no verification-code dialog";
    ASSERT_TRUE(user.click(*dialog, kCancel));
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), 5070);
    EXPECT_TRUE(commands().empty());
}

// ---- ChangePIN ---------------------------------------------------------------------------

TEST_F(TaveloMethods, ChangePinWithGivenPinsThenTheNewOneVerifies) {
    const struct {
        const char* name;
        const char* oldPin;
        const char* newPin;
        std::int32_t expected;
    } rows[] = {
        {"only the new PIN: the empty old one is too short", nullptr, "135792", 32},
        {"a new PIN with a letter", "246810", "13579a", 33},
        {"a wrong old PIN", "246811", "135792", 5001},
        {"the right old PIN", "246810", "135792", 0},
    };
    for (const auto& row : rows) {
        card->clearLog();
        std::int32_t rc = -1;
        ASSERT_EQ(control->ChangePIN(row.oldPin ? text(row.oldPin).get() : nullptr,
                                     text(row.newPin).get(), &rc),
                  S_OK);
        EXPECT_EQ(rc, row.expected) << row.name;
    }
    EXPECT_EQ(commands(),
              (std::vector<Bytes>{card_test::kSelectApplication, card_test::kVerify,
                                  hex("00 A4 02 00 02 00 C2"),
                                  concat(hex("00 D2 01 04 08"), hex("13 57 92 FF FF FF FF FF"))}));
    EXPECT_EQ(verifyPin("246810"), 30) << "the old PIN is gone";
    EXPECT_EQ(verifyPin("135792"), 0);
}

TEST_F(TaveloMethods, ChangePinDialogTypedThenItsCountdownRunsOut) {
    const auto typeInto = [&](corvantix_user::Window dialog, int edit, std::string_view digits) {
        ASSERT_TRUE(user.focus(dialog, edit));
        typeOnKeypad(dialog, digits);
    };
    {
        auto result = start([](IVondelTaveloATL& object, std::int32_t* rc) {
            object.ChangePIN(nullptr, nullptr, rc);
        });
        const auto dialog = user.waitForDialog(kChangePinDialog, 5s);
        ASSERT_TRUE(dialog) << "no change-PIN dialog";
        typeInto(*dialog, kOldPinEdit, "246810");
        typeInto(*dialog, kNewPinEdit, "135792");
        typeInto(*dialog, kConfirmEdit, "135792");
        ASSERT_TRUE(user.click(*dialog, kOk));
        ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(result.get(), 0);
    }
    card->clearLog();
    {
        auto result = start([](IVondelTaveloATL& object, std::int32_t* rc) {
            object.ChangePIN(text("").get(), text("").get(), rc);
        });
        const auto dialog = user.waitForDialog(kChangePinDialog, 5s);
        ASSERT_TRUE(dialog) << "no change-PIN dialog";
        typeInto(*dialog, kOldPinEdit, "135792");
        typeInto(*dialog, kNewPinEdit, "864213");
        typeInto(*dialog, kConfirmEdit, "864213");
        ASSERT_TRUE(user.advance(60s));
        ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(result.get(), 5073);
        EXPECT_TRUE(commands().empty()) << "nothing reaches the card";
    }
    EXPECT_EQ(verifyPin("135792"), 0) << "the PIN of the first change stays";
}

// A VERIFY answered without a status word checked no PIN: after a PIN
// verified before (the card would take the command that follows), the
// method fails with 5001 and sends nothing after VERIFY.
TEST_F(TaveloMethods, AVerifyAnsweredWithoutAStatusWordEndsTheCall) {
    const struct {
        const char* name;
        std::uint32_t dialog;
        std::function<void(IVondelTaveloATL&, std::int32_t*)> call;
    } rows[] = {
        {"ChangePIN from its dialog", kChangePinDialog,
         [](IVondelTaveloATL& object, std::int32_t* rc) {
             object.ChangePIN(nullptr, nullptr, rc);
         }},
        {"VerifyPINEx", kPinDialog,
         [this](IVondelTaveloATL& object, std::int32_t* rc) {
             object.VerifyPINEx(text(reader).get(), text("").get(), 0, 0, rc);
         }},
        {"GetTAC", kPinDialog,
         [this](IVondelTaveloATL& object, std::int32_t* rc) {
             BstrString value;
             object.GetTAC(text("ABC").get(), 0, value.receive());
             *rc = value.get() != nullptr ? 0 : errorCode();
         }},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(verifyPin(card_test::kPin), 0) << row.name;
        card->clearLog();
        card->addFault(card_emulator::Fault::oneByte(0x20, 0x90));
        auto result = start(row.call);
        const auto dialog = user.waitForDialog(row.dialog, 5s);
        ASSERT_TRUE(dialog) << row.name;
        if (row.dialog == kChangePinDialog) {
            for (const auto& [edit, digits] :
                 {std::pair{kOldPinEdit, "246811"}, std::pair{kNewPinEdit, "135792"},
                  std::pair{kConfirmEdit, "135792"}}) {
                ASSERT_TRUE(user.focus(*dialog, edit));
                typeOnKeypad(*dialog, digits);
            }
        } else {
            typeOnKeypad(*dialog, "246811");
        }
        ASSERT_TRUE(user.click(*dialog, kOk));
        ASSERT_EQ(result.wait_for(10s), std::future_status::ready) << row.name;
        EXPECT_EQ(result.get(), 5001) << row.name;
        EXPECT_EQ(errorCode(), 5001) << row.name;
        const auto sent = commands();
        ASSERT_FALSE(sent.empty()) << row.name;
        EXPECT_EQ(sent.back(), concat(hex("00 20 00 10 08"), hex("24 68 11 FF FF FF FF FF")))
            << row.name << ": nothing after VERIFY";
    }
    card->clearFaults();
    EXPECT_EQ(verifyPin("135792"), 30) << "the PIN was not changed";
    EXPECT_EQ(verifyPin(card_test::kPin), 0);
}

// ---- Reads -----------------------------------------------------------------------------

TEST_F(TaveloMethods, SelectAndReadRecords) {
    const std::string hex1080 = "303034|303030313233343536373839|1122334455667788";
    const struct {
        const char* name;
        const char* efid; // nullptr: no SelectEF before the read
        std::int32_t selected;
        std::int32_t record;
        std::int32_t flags;
        std::int32_t code;
        std::optional<std::string> result;
    } rows[] = {
        {"EF 1001 as text", "1001", 0, 1, 0, 0, "0012345678901234"},
        {"EF 1001 as hex", "1001", 0, 2, 0x1000000, 0, "30303938373635343332313039383736"},
        {"EF 1080 in three parts", "1080", 0, 1, 0x1000000, 0, hex1080},
        {"record 0", nullptr, 0, 0, 0x1000000, 5005, std::nullopt},
        {"record 255", nullptr, 0, 255, 0x1000000, 5005, std::nullopt},
        {"a record that is not there", nullptr, 0, 3, 0x1000000, 5001, std::nullopt},
        {"three digits", "108", 5005, 1, 0x1000000, 0,
         "033030340C3030303132333435363738390000"
         "1122334455667788"},
        // SELECT of the application leaves no file selected.
        {"a file the card lacks", "2000", 5001, 1, 0x1000000, 5001, std::nullopt},
        {"a letter", "10G0", 5005, 1, 0, 5001, std::nullopt},

    };
    for (const auto& row : rows) {
        if (row.efid != nullptr) {
            std::int32_t rc = -1;
            ASSERT_EQ(control->SelectEF(text(row.efid).get(), &rc), S_OK);
            EXPECT_EQ(rc, row.selected) << row.name;
        }
        std::int32_t code = -1;
        const auto result = textResult(
            [&](BSTR* out) { return control->ReadRecord(row.record, row.flags, out); }, code);
        EXPECT_EQ(code, row.code) << row.name;
        EXPECT_EQ(result, row.result) << row.name;
    }
}

// A SELECT that fails leaves the record layout of EF 1080 off: the file
// still selected on the card reads as it is.
TEST_F(TaveloMethods, AFailedSelectOfEf1080KeepsTheRecordsPlain) {
    std::int32_t rc = -1;
    ASSERT_EQ(control->SelectEF(text("1001").get(), &rc), S_OK);
    ASSERT_EQ(rc, 0);
    // The application's SELECT refused, so EF 1001 stays the card's current file.
    card->addFault(card_emulator::Fault::statusWord(0xA4, 0x6A82));
    ASSERT_EQ(control->SelectEF(text("1080").get(), &rc), S_OK);
    EXPECT_EQ(rc, 5001);
    std::int32_t code = -1;
    EXPECT_EQ(textResult([&](BSTR* out) { return control->ReadRecord(2, 0, out); }, code),
              "0098765432109876");
    EXPECT_EQ(code, 0);
}

class BrokenRecords : public TaveloMethods {
protected:
    void SetUp() override {
        profile.records[0x1080][2] = hex("01 05 09 41 42"); // field 1 runs past the end
        profile.records[0x1080][3] = concat(hex("01 05 02 41 42 7F"), Bytes(12, 0x30));
        profile.records[0x1001][3] = hex("01");
        TaveloMethods::SetUp();
    }
};

TEST_F(BrokenRecords, GiveAGeneralFailure) {
    for (const auto& [efid, record] :
         std::vector<std::pair<const char*, std::int32_t>>{{"1080", 2}, {"1080", 3}, {"1001", 3}}) {
        std::int32_t rc = -1;
        ASSERT_EQ(control->SelectEF(text(efid).get(), &rc), S_OK);
        ASSERT_EQ(rc, 0);
        std::int32_t code = -1;
        const auto result =
            textResult([&](BSTR* out) { return control->ReadRecord(record, 0, out); }, code);
        EXPECT_EQ(code, 5001) << efid << " " << record;
        EXPECT_FALSE(result);
    }
}

// Records whose bytes are no Big5 text, read as text: as the platform
// converts, what Big5 cannot map becomes U+FFFD.
class BinaryRecords : public TaveloMethods {
protected:
    void SetUp() override {
        profile.records[0x1080][2] =
            concat(concat(hex("01 1B 03"), card_test::ascii("004")),
                   concat(concat(hex("0C"), card_test::ascii("000123456789")),
                          hex("00 00 00 FF 80 A4 40 7F 01 02")));
        profile.records[0x1001][3] = hex("03 07 41 FF 42 A4 40 A4");
        TaveloMethods::SetUp();
    }
};

TEST_F(BinaryRecords, ReadAsTextGiveTheReplacementNotAFailure) {
    const struct {
        const char* efid;
        std::int32_t record;
        std::int32_t flags;
        std::string result;
    } rows[] = {
        // 00 is U+0000, FF no Big5 byte, 80 is U+0080, A4 40 is U+4E00.
        {"1080", 2, 0, "004|000123456789|\0\xEF\xBF\xBD\xC2\x80\xE4\xB8\x80\x7F\x01\x02"s},
        {"1080", 2, 0x1000000, "303034|303030313233343536373839|00FF80A4407F0102"},
        // A byte Big5 lacks, and a lead byte with no trail at the end.
        {"1001", 3, 0,
         "A\xEF\xBF\xBD"
         "B\xE4\xB8\x80\xEF\xBF\xBD"},
    };
    for (const auto& row : rows) {
        std::int32_t rc = -1;
        ASSERT_EQ(control->SelectEF(text(row.efid).get(), &rc), S_OK);
        ASSERT_EQ(rc, 0);
        std::int32_t code = -1;
        const auto result = textResult(
            [&](BSTR* out) { return control->ReadRecord(row.record, row.flags, out); }, code);
        EXPECT_EQ(code, 0) << row.efid << " " << row.flags;
        EXPECT_EQ(result, row.result) << row.efid << " " << row.flags;
    }
}

TEST_F(TaveloMethods, SerialAccountAndRandom) {
    std::int32_t code = -1;
    EXPECT_EQ(textResult([&](BSTR* out) { return control->GetSN(out); }, code),
              card_emulator::toHex(card->serial()));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(textResult([&](BSTR* out) { return control->GetAccount(2, out); }, code),
              card_emulator::toHex(card_test::kRecord1001_2));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(textResult([&](BSTR* out) { return control->GetAccount(9, out); }, code),
              std::nullopt);
    EXPECT_EQ(code, 5001);
    const auto random = textResult([&](BSTR* out) { return control->GenRandom(out); }, code);
    ASSERT_TRUE(random);
    EXPECT_EQ(random->size(), 16u);
    EXPECT_EQ(random->find_first_not_of("0123456789ABCDEF"), std::string::npos) << *random;
}

// ---- TACs ----------------------------------------------------------------------------------

TEST_F(TaveloMethods, TacsOverTheCallersData) {
    ASSERT_EQ(verifyPin(card_test::kPin), 0);
    const Bytes data = card_test::ascii("ABC");
    card->clearLog();
    std::uint32_t tsn = card->tsn();
    std::string value;
    auto tac = start([&value](IVondelTaveloATL& object, std::int32_t* rc) {
        BstrString out;
        object.GetTAC(text("41424300").get(), 0x1000000, out.receive());
        *rc = out.get() != nullptr ? 0 : -1;
        value = out.get() != nullptr ? utf8(out.get()) : "";
    });
    const auto dialog = user.waitForDialog(kPinDialog, 5s);
    ASSERT_TRUE(dialog) << "GetTAC asks for the PIN on a reader without keypad";
    typeOnKeypad(*dialog, card_test::kPin);
    ASSERT_TRUE(user.click(*dialog, kOk));
    ASSERT_EQ(tac.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(tac.get(), 0);
    EXPECT_EQ(errorCode(), 0);
    const auto sent = commands();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[2], card_test::getTacCommand(data, false)) << "the last 00 is dropped";
    Bytes answer = card_test::expectedTacAnswer(tsn, data, false);
    answer.resize(answer.size() - 2);
    EXPECT_EQ(value, card_emulator::toHex(answer));

    tsn = card->tsn();
    std::int32_t code = -1;
    const auto written = textResult(
        [&](BSTR* out) { return control->WRITE_RECORD_W_SNUM_TAC(text("ABC").get(), 7, 0, out); },
        code);
    EXPECT_EQ(code, 0);
    answer = card_test::expectedTacAnswer(tsn, data, true);
    answer.resize(answer.size() - 2);
    EXPECT_EQ(written, card_emulator::toHex(answer));
    EXPECT_EQ(commands().back(), card_test::getTacCommand(data, true));

    card->addFault(card_emulator::Fault::oneByte(0xE2, 0x90));
    EXPECT_EQ(textResult(
                  [&](BSTR* out) {
                      return control->WRITE_RECORD_W_SNUM_TAC(text("414243").get(), 0, 0x1000000,
                                                              out);
                  },
                  code),
              std::nullopt);
    EXPECT_EQ(code, 5001) << "an answer without a status word";
    EXPECT_EQ(textResult(
                  [&](BSTR* out) {
                      return control->WRITE_RECORD_W_SNUM_TAC(text("41X2").get(), 0, 0x1000000,
                                                              out);
                  },
                  code),
              std::nullopt);
    EXPECT_EQ(code, 5009);
}

// GetTAC refuses data that no command can carry before it asks for the PIN;
// no data at all still go out with their Lc, as data length + 6 bytes.
TEST_F(TaveloMethods, TacDataLimitsComeFirstAndNoDataKeepsItsLc) {
    auto tooLong = start([](IVondelTaveloATL& object, std::int32_t* rc) {
        BstrString value;
        object.GetTAC(text(std::string(256, 'A')).get(), 0, value.receive());
        *rc = value.get() != nullptr ? 0 : -1;
    });
    if (tooLong.wait_for(5s) != std::future_status::ready) {
        const auto dialog = user.waitForDialog(kPinDialog, 5s);
        ADD_FAILURE() << "the PIN asked for a command that cannot go";
        ASSERT_TRUE(dialog);
        ASSERT_TRUE(user.click(*dialog, kCancel));
    }
    EXPECT_EQ(tooLong.get(), -1);
    EXPECT_EQ(errorCode(), 5005);
    EXPECT_EQ(commands(), std::vector<Bytes>{card_test::kSelectApplication});

    card->clearLog();
    auto empty = start([](IVondelTaveloATL& object, std::int32_t* rc) {
        BstrString value;
        object.GetTAC(text("").get(), 0, value.receive());
        *rc = value.get() != nullptr ? 0 : -1;
    });
    const auto dialog = user.waitForDialog(kPinDialog, 5s);
    ASSERT_TRUE(dialog);
    typeOnKeypad(*dialog, card_test::kPin);
    ASSERT_TRUE(user.click(*dialog, kOk));
    ASSERT_EQ(empty.wait_for(10s), std::future_status::ready);
    empty.get();
    ASSERT_FALSE(commands().empty());
    EXPECT_EQ(commands().back(), hex("00 E2 10 80 00 00"));

    std::int32_t code = -1;
    textResult(
        [&](BSTR* out) { return control->WRITE_RECORD_W_SNUM_TAC(text("").get(), 0, 0, out); },
        code);
    EXPECT_EQ(commands().back(), hex("00 E2 10 90 00 00"));
}

// ---- The keypad reader ---------------------------------------------------------------------

class KeypadReader : public TaveloMethods {
protected:
    void SetUp() override {
        profile.keypad = true;
        TaveloMethods::SetUp();
        list = encipherList("Other Reader;Virtual PCD 0");
        ASSERT_FALSE(list.empty());
    }
    std::string list;
};

TEST_F(KeypadReader, TakesThePinItselfWithoutDialogs) {
    // The captcha and replug bits go for a reader of the list that holds a card.
    card->addFault(card_emulator::Fault::delayed(0x20, 1500ms));
    auto result = start([&](IVondelTaveloATL& object, std::int32_t* rc) {
        object.VerifyPIN(text(reader).get(), text(list).get(), text("").get(), 0x18000, 0, rc);
    });
    EXPECT_TRUE(user.waitForDialog(kReaderPromptDialog, 5s)) << "the keypad-reader prompt";
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(commands(), (std::vector<Bytes>{card_test::kSelectApplication,
                                              hex("00 20 00 10 08 FF FF FF FF FF FF FF FF")}));
    for (const auto& d : user.listDialogs()) {
        EXPECT_NE(d.find("template")->asNumber(), std::int64_t{kReaderPromptDialog})
            << "the prompt closes with the method";
    }
    // A PIN given goes as it is.
    card->clearLog();
    EXPECT_EQ(verifyPin(card_test::kPin, 0x800000, list), 0);
    EXPECT_EQ(commands(), (std::vector<Bytes>{card_test::kSelectApplication, card_test::kVerify}));
}

TEST_F(KeypadReader, TheFlagFollowsTheReaderThatPcscLists) {
    const std::string unlisted = "Virtual PCD 0 99";
    const std::string other = rig.readers()[1];
    ASSERT_NE(rig.insertCard(card_emulator::kDefaultPort + 1, profile), nullptr) << rig.why();
    const struct {
        const char* name;
        std::string tested;
        std::string connected; // by ConnectCard after the check
        bool keypad;
    } rows[] = {
        {"a listed reader of the list", reader, reader, true},
        {"a name PC/SC does not list", unlisted, reader, false},
        {"connected again to the same reader", reader, reader, true},
        {"after connecting another reader", reader, other, false},
    };
    for (const auto& row : rows) {
        std::int32_t rc = -1;
        ASSERT_EQ(control->DetectAdvReader(text(row.tested).get(), text(list).get(), 0, 0, &rc),
                  S_OK);
        EXPECT_EQ(rc, 0) << row.name;
        ASSERT_EQ(control->ConnectCard(text(row.connected).get(), &rc), S_OK);
        ASSERT_EQ(rc, 0) << row.name;
        // GetTAC asks for the PIN unless the reader takes it.
        auto tac = start([](IVondelTaveloATL& object, std::int32_t* out) {
            BstrString value;
            object.GetTAC(text("ABC").get(), 0, value.receive());
            *out = value.get() != nullptr ? 0 : -1;
        });
        if (!row.keypad) {
            const auto dialog = user.waitForDialog(kPinDialog, 5s);
            ASSERT_TRUE(dialog) << row.name;
            ASSERT_TRUE(user.click(*dialog, kCancel));
            ASSERT_EQ(tac.wait_for(10s), std::future_status::ready);
            EXPECT_EQ(tac.get(), -1) << row.name;
            EXPECT_EQ(errorCode(), 5070) << row.name;
        } else {
            ASSERT_EQ(tac.wait_for(10s), std::future_status::ready);
            EXPECT_EQ(tac.get(), 0) << row.name;
            EXPECT_EQ(errorCode(), 0) << row.name;
        }
    }
}

// An entry found inside a reader's name stands for that whole reader: PC/SC
// is asked about the name, never the part from the entry on.
TEST_F(KeypadReader, AnEntryInsideANameStandsForTheWholeReader) {
    const struct {
        const char* name;
        std::optional<std::string> tested; // nullopt: no reader named, all are tried
        std::string entries;
        std::int32_t flags;
    } rows[] = {
        {"the reader named, holding a card", reader, "PCD 00", kCaptcha},
        {"no reader named, the first holds a card", std::nullopt, "PCD 00", kCaptcha},
        {"no reader named, the second is empty", std::nullopt, "PCD 00 01", 0},
    };
    for (const auto& row : rows) {
        const std::string entries = encipherList(row.entries);
        ASSERT_FALSE(entries.empty());
        auto result = start([&](IVondelTaveloATL& object, std::int32_t* rc) {
            const BstrString tested = row.tested ? text(*row.tested) : BstrString();
            object.DetectAdvReader(tested.get(), text(entries).get(), row.flags, 0, rc);
        });
        if (result.wait_for(10s) != std::future_status::ready) {
            // The captcha was not cleared for the reader with the card.
            if (const auto dialog = user.waitForDialog(kVerifyCodeDialog, 1s)) {
                user.click(*dialog, kCancel);
            }
            ADD_FAILURE() << row.name << ": a dialog came";
            result.wait();
            continue;
        }
        EXPECT_EQ(result.get(), 0) << row.name;
    }
}

// A keypad-reader list the page enciphered itself, naming this plain
// reader, rides on no PIN verified before: the card, reset, refuses the TAC.
TEST_F(TaveloMethods, APageMadeKeypadListGetsNoTacFromAPlainReader) {
    ASSERT_EQ(verifyPin(card_test::kPin), 0);
    std::int32_t rc = -1;
    ASSERT_EQ(control->DetectAdvReader(text(reader).get(), text(encipherList("Virtual PCD")).get(),
                                       0x800000, 0, &rc),
              S_OK);
    ASSERT_EQ(rc, 0);
    card->clearLog();
    const std::uint32_t tsn = card->tsn();
    std::int32_t code = -1;
    EXPECT_EQ(
        textResult([&](BSTR* out) { return control->GetTAC(text("ABC").get(), 0, out); }, code),
        std::nullopt);
    EXPECT_EQ(code, 5001);
    EXPECT_EQ(card->tsn(), tsn) << "the card signed";
    EXPECT_TRUE(user.listDialogs().empty());
}

TEST_F(KeypadReader, ListsThatNameNoReader) {
    const struct {
        const char* name;
        std::string list;
        std::int32_t expected;
    } rows[] = {
        {"empty", "", 0},
        {"no Base64", "not*base64", 5008},
        {"another key",
         shell("printf 'Virtual PCD' | openssl enc -des-ede3-cbc -pbkdf2 -iter 1 "
               "-md sha1 -S 0001020304050607 -pass pass:other -a -A"),
         5064},
    };
    for (const auto& row : rows) {
        std::int32_t rc = -1;
        ASSERT_EQ(control->DetectAdvReader(text(reader).get(), text(row.list).get(), 0, 0, &rc),
                  S_OK);
        EXPECT_EQ(rc, row.expected) << row.name;
    }
}

} // namespace
