// The remove-and-insert prompt through a real pcscd with the card emulator,
// the device stand-in and the scripted user: the replug modes step by step,
// time-out, Cancel and the pause, the smart-card service check, virtual
// readers, tokens arriving, leaving and disabled, the language fallback,
// and no thread left behind.

#include "control/ui/QxDetect.h"
#include "platform/text/TextCodec.h"
#include "platform/ui/MessageBox.h"
#include "tests/control/detect/DetectFixture.h"

#include <cstdlib>
#include <map>
#include <ostream>

namespace detect_test {
namespace {

namespace devices = platform::devices;

// A request on a thread of its own.
class Request {
public:
    Request(std::string reader, int timeArgument, int iFlags, std::string provider = {})
        : reader_(std::move(reader)), provider_(std::move(provider)),
          thread_([this, timeArgument, iFlags] {
              return static_cast<LResult>(
                  QxCrypto_DetectRemoveAndInsert(provider_.empty() ? nullptr : provider_.c_str(),
                                                 reader_.c_str(), timeArgument, iFlags));
          }) {}
    std::optional<LResult> result(std::chrono::milliseconds limit = 5s) {
        return thread_.result(limit);
    }

private:
    std::string reader_;
    std::string provider_;
    ModalThread thread_;
};

class Detection : public DetectUi {
protected:
    using DetectUi::DetectUi;
    void SetUp() override {
        DetectUi::SetUp();
        QxDetect_ResetForTest();
    }
    void TearDown() override {
        QxDetect_ResetForTest();
        devices::unplugAllDevices();
        DetectUi::TearDown();
    }
    // The picture the dialog shows, once it is the one expected (or the last
    // one seen after a while).
    std::int64_t pictureBecomes(Window dialog, std::int64_t expected) {
        std::int64_t seen = -1;
        const auto until = std::chrono::steady_clock::now() + 4s;
        while (std::chrono::steady_clock::now() < until) {
            const auto bitmaps = drawnBitmaps(dump(dialog));
            seen = bitmaps.empty() ? -1 : bitmaps.front();
            if (seen == expected) {
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        return seen;
    }
    // A request for the first reader with the confirmation: once the card
    // is in, a topmost message box without caption names the reader.
    void expectConfirmationNamingTheReader() {
        Request request(rig.readers()[0], 60, QX_DETECT_FLAG_INSERT | QX_DETECT_FLAG_CONFIRM);
        const Window dialog = waitFor(kDetectDialogEnglish);
        ASSERT_NE(dialog, 0u);
        card = rig.insertCard();
        ASSERT_NE(card, nullptr) << rig.why();
        const auto box = user_.waitForMessageBox(5s);
        ASSERT_TRUE(box) << "the dialog did not see the card come into its reader";
        const JsonValue d = dump(*box);
        EXPECT_EQ(*d.find("caption")->asString(), "");
        EXPECT_EQ(d.find("topmost")->asBool(), true);
        EXPECT_EQ(textOf(d, kMessageBoxTextId), rig.readers()[0]);
        EXPECT_FALSE(request.result(0ms).has_value());
        ASSERT_TRUE(user_.answer(*box, "ok"));
        EXPECT_EQ(request.result(), kCtlOk);
    }
    std::string messageOf(Window dialog) {
        const auto texts = drawnTexts(dump(dialog));
        return texts.empty() ? "" : texts.front();
    }
};

// ---- The card path: one step after another -------------------------------------------

enum class Step { Insert, Remove };

struct ReplugCase {
    const char* name;
    int mode;
    bool cardAtStart;
    std::int64_t firstPicture;
    std::vector<std::pair<Step, std::int64_t>> steps; // the action and the picture after it
};

void PrintTo(const ReplugCase& c, std::ostream* os) {
    *os << c.name;
}

class Replug : public Detection, public ::testing::WithParamInterface<ReplugCase> {};

TEST_P(Replug, EndsWithZeroAfterTheExpectedInsertion) {
    const ReplugCase& c = GetParam();
    ASSERT_NE(insert(), nullptr);
    if (!c.cardAtStart) {
        // Made before the count, so that its thread is counted in.
        ASSERT_TRUE(rig.removeCard(*card, 0ms)) << rig.why();
    }
    const std::size_t baseline = threadCount();
    Request request(rig.readers()[0], 60, c.mode);
    const Window dialog = waitFor(kDetectDialogEnglish);
    ASSERT_NE(dialog, 0u);
    EXPECT_EQ(pictureBecomes(dialog, c.firstPicture), c.firstPicture);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        const auto [step, picture] = c.steps[i];
        if (step == Step::Insert) {
            ASSERT_TRUE(rig.reinsertCard(*card)) << rig.why();
        } else {
            ASSERT_TRUE(rig.removeCard(*card)) << rig.why();
        }
        if (i + 1 < c.steps.size()) {
            EXPECT_EQ(pictureBecomes(dialog, picture), picture) << "after step " << i;
            EXPECT_FALSE(request.result(0ms).has_value()) << "after step " << i;
        }
    }
    EXPECT_EQ(request.result(), kCtlOk);
    // The watcher of the reader is gone with the dialog.
    EXPECT_EQ(threadsSettleTo(baseline), baseline);
}

INSTANTIATE_TEST_SUITE_P(Modes, Replug,
                         ::testing::Values(ReplugCase{"InsertIntoAnEmptyReader",
                                                      QX_DETECT_FLAG_INSERT,
                                                      false,
                                                      kDetectBitmapInsert,
                                                      {{Step::Insert, 0}}},
                                           ReplugCase{"RemoveThenInsertACardThatIsIn",
                                                      QX_DETECT_REPLUG_MASK,
                                                      true,
                                                      kDetectBitmapRemove,
                                                      {{Step::Remove, kDetectBitmapInsert},
                                                       {Step::Insert, 0}}},
                                           ReplugCase{"InsertRemoveInsertIntoAnEmptyReader",
                                                      QX_DETECT_REPLUG_MASK,
                                                      false,
                                                      kDetectBitmapInsert,
                                                      {{Step::Insert, kDetectBitmapRemove},
                                                       {Step::Remove, kDetectBitmapInsert},
                                                       {Step::Insert, 0}}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Detection, ShowsTheTextAndTheSecondsAndEndsWith5073WhenTheyRunOut) {
    ASSERT_NE(insert(), nullptr);
    const std::size_t baseline = threadCount();
    Request request(rig.readers()[0], 3, QX_DETECT_REPLUG_MASK);
    const Window dialog = waitFor(kDetectDialogEnglish);
    ASSERT_NE(dialog, 0u);
    ASSERT_EQ(pictureBecomes(dialog, kDetectBitmapRemove), kDetectBitmapRemove);
    const JsonValue d = dump(dialog);
    EXPECT_EQ(drawnTexts(d),
              (std::vector<std::string>{"Please draw out your ATM Card first.", "3"}));
    for (const auto& op : *d.find("drawn")->asArray()) {
        if (const JsonValue* font = op.find("font")) {
            ASSERT_NE(font->find("face")->asString(), nullptr);
            EXPECT_EQ(*font->find("face")->asString(), "Arial");
            EXPECT_EQ(font->find("weight")->asNumber(), 700);
            EXPECT_EQ(op.find("transparent")->asBool(), true);
        }
    }
    EXPECT_EQ(d.find("topmost")->asBool(), true);
    // The Cancel button wears the language's face.
    EXPECT_EQ(drawnBitmaps(*controlOf(d, kIdCancel)),
              std::vector<std::int64_t>{kDetectButtonEnglish});
    ASSERT_EQ(advanceClock(2s), AdvanceResult::Done);
    EXPECT_EQ(drawnTexts(dump(dialog)).back(), "1");
    EXPECT_FALSE(request.result(0ms).has_value());
    ASSERT_EQ(advanceClock(1s), AdvanceResult::Done);
    EXPECT_EQ(request.result(), kCtlTimedOut);
    EXPECT_EQ(threadsSettleTo(baseline), baseline);
}

TEST_F(Detection, WithoutATimeOutItEndsAtTheLayersCeiling) {
    Request request(rig.readers()[0], 0, QX_DETECT_FLAG_INSERT);
    const Window dialog = waitFor(kDetectDialogEnglish);
    ASSERT_NE(dialog, 0u);
    EXPECT_EQ(drawnTexts(dump(dialog)), std::vector<std::string>{"Please insert your ATM Card."});
    ASSERT_EQ(advanceClock(modalWaitCeiling()), AdvanceResult::Done);
    EXPECT_EQ(request.result(), kCtlTimedOut);
}

TEST_F(Detection, CancelEndsWith5070AndThePauseFollowsASuccess) {
    Request cancelled(rig.readers()[0], 60, QX_DETECT_FLAG_INSERT);
    Window dialog = waitFor(kDetectDialogEnglish);
    ASSERT_NE(dialog, 0u);
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(cancelled.result(), kCtlCancelled);

    // A pause of two seconds after the insertion.
    Request paused(rig.readers()[0], (2 << 8) | 60, QX_DETECT_FLAG_INSERT);
    dialog = waitFor(kDetectDialogEnglish);
    ASSERT_NE(dialog, 0u);
    card = rig.insertCard();
    ASSERT_NE(card, nullptr) << rig.why();
    ASSERT_TRUE(user_.waitClose(dialog, 5s));
    const Window pause = waitFor(kDetectDialogEnglish);
    ASSERT_NE(pause, 0u);
    EXPECT_NE(pause, dialog);
    EXPECT_FALSE(paused.result(0ms).has_value());
    ASSERT_EQ(advanceClock(2s), AdvanceResult::Done);
    EXPECT_EQ(paused.result(), kCtlOk);
}

TEST_F(Detection, AConfirmationNamesTheReaderOnceTheCardIsIn) {
    expectConfirmationNamingTheReader();
}

// Reader names come from pcsc-lite in UTF-8.
class NonAsciiReader : public Detection {
protected:
    NonAsciiReader() : Detection({{"Lecteur \xc3\xa0 puce", 35963}}) {}
};

TEST_F(NonAsciiReader, AConfirmationNamesTheReaderOnceTheCardIsIn) {
    ASSERT_EQ(rig.readers()[0], "Lecteur \xc3\xa0 puce 00 00");
    expectConfirmationNamingTheReader();
}

// Japanese has no dialog: the request runs in English, and so does the
// process from then on.
TEST_F(Detection, AJapaneseRequestRunsInEnglish) {
    ASSERT_EQ(UI_SetLanguage("jp"), kCtlOk);
    Request request(rig.readers()[0], 60, QX_DETECT_FLAG_INSERT);
    const Window dialog = waitFor(kDetectDialogEnglish);
    ASSERT_NE(dialog, 0u);
    EXPECT_EQ(UI_GetLanguage(), kUiLanguageEnglish);
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
}

TEST_F(Detection, TheBig5DialogSpeaksBig5) {
    ASSERT_EQ(UI_SetLanguage("big5"), kCtlOk);
    Request request(rig.readers()[0], 60, QX_DETECT_FLAG_INSERT);
    const Window dialog = waitFor(kDetectDialogBig5);
    ASSERT_NE(dialog, 0u);
    EXPECT_EQ(drawnTexts(dump(dialog)).front(), "請插入ATM卡片。");
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
}

// ---- Virtual readers -----------------------------------------------------------------------

class VirtualReaders : public Detection {
protected:
    VirtualReaders() : Detection({{"AKS ifdh", 35963}, {"Virtual PCD", 35965}}) {}
};

TEST_F(VirtualReaders, AreNeitherWatchedNorCounted) {
    ASSERT_NE(rig.insertCard(35963), nullptr) << rig.why();
    Request request("", 60, QX_DETECT_FLAG_INSERT);
    const Window dialog = waitFor(kDetectDialogEnglish);
    ASSERT_NE(dialog, 0u);
    // The card in the token driver's reader is no card here.
    EXPECT_EQ(pictureBecomes(dialog, kDetectBitmapInsert), kDetectBitmapInsert);
    EXPECT_EQ(detectState().readers,
              (std::vector<std::string>{"Virtual PCD 00 00", "Virtual PCD 00 01"}));
    ASSERT_NE(rig.insertCard(35965), nullptr) << rig.why();
    EXPECT_EQ(request.result(), kCtlOk);
    EXPECT_TRUE(QxDetect_IsVirtualReader("Rainbow Technologies iKeyVirtualReader 0"));
    EXPECT_FALSE(QxDetect_IsVirtualReader("AKS"));
}

// ---- Tokens ------------------------------------------------------------------------------------

const QxDetectTokenRow& firstToken() {
    return g_QxDetectTokenTable[0];
}

std::string tokenPath(const char* hardwareId) {
    return std::string("\\\\?\\usb#") + hardwareId + "#5&1a2b3c&0&1#" +
           devices::guidText(firstToken().guidInterface);
}

class Tokens : public Detection {
protected:
    Tokens() : Detection({}) {}
};

TEST_F(Tokens, ArriveAndLeaveThroughTheDeviceNotices) {
    const std::size_t baseline = threadCount();
    Request request("", 60, QX_DETECT_REPLUG_MASK);
    const Window dialog = waitFor(kDetectDialogEnglish);
    ASSERT_NE(dialog, 0u);
    EXPECT_EQ(pictureBecomes(dialog, kDetectBitmapInsert), kDetectBitmapInsert);
    EXPECT_EQ(messageOf(dialog), "Please insert your token.");
    // Another maker's device of the same class is no token of the table.
    ASSERT_FALSE(
        devices::plugDevice(firstToken().guidInterface, tokenPath("vid_9999&pid_0001")).empty());
    std::string token =
        devices::plugDevice(firstToken().guidInterface, tokenPath("VID_2F3A&PID_0101"));
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(pictureBecomes(dialog, kDetectBitmapRemove), kDetectBitmapRemove);
    EXPECT_EQ(messageOf(dialog), "Please draw out your token first.");
    ASSERT_TRUE(devices::unplugDevice(token));
    EXPECT_EQ(pictureBecomes(dialog, kDetectBitmapInsert), kDetectBitmapInsert);
    EXPECT_FALSE(request.result(0ms).has_value());
    // Plugged by another process: the device tool.
    const auto plugged = testing_support::runProgramCapture(
        {CORVANTIX_DEVICE_TOOL, "plug", devices::guidText(firstToken().guidInterface),
         tokenPath("vid_2f3a&pid_0101")});
    ASSERT_EQ(plugged.exitCode, 0);
    EXPECT_EQ(request.result(), kCtlOk);
    EXPECT_EQ(DetectToken(), 1);
    EXPECT_EQ(detectState().foundProvider, firstToken().szProvider);
    // Unregistered at the end, and the watching thread is gone.
    EXPECT_EQ(devices::deviceNotificationCount(), 0u);
    EXPECT_EQ(threadsSettleTo(baseline), baseline);
}

TEST_F(Tokens, AReaderNamedAfterATokenTakesTheTokenPathForGood) {
    const std::string reader = std::string(firstToken().szDeviceName) + " 0";
    devices::plugDevice(firstToken().guidInterface, tokenPath("vid_2f3a&pid_0101"));
    Request request(reader, 60, QX_DETECT_FLAG_INSERT);
    const Window dialog = waitFor(kDetectDialogEnglish);
    ASSERT_NE(dialog, 0u);
    // The token is in: take it out first, whatever the mode.
    EXPECT_EQ(pictureBecomes(dialog, kDetectBitmapRemove), kDetectBitmapRemove);
    EXPECT_TRUE(detectState().tokenReader);
    EXPECT_TRUE(detectState().readers.empty());
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
    // The rows beyond the known tokens are empty (a zero class, no device
    // name, no hardware id): a device of that class matches none of them.
    QxDetectState& s = detectState();
    s.deviceFilter.clear();
    s.providerFilter.clear();
    ASSERT_EQ(g_QxDetectTokenTable.back().szDeviceName[0], '\0');
    devices::unplugAllDevices();
    ASSERT_FALSE(devices::plugDevice(GUID{}, "\\\\?\\usb#vid_0000&pid_0000#1#{0}").empty());
    EXPECT_EQ(DetectToken(), 0);
    // A provider filter narrows the table to that provider's rows.
    devices::plugDevice(firstToken().guidInterface, tokenPath("vid_2f3a&pid_0101"));
    EXPECT_EQ(DetectToken(), 1);
    s.providerFilter = "orbec esign csp";
    EXPECT_EQ(DetectToken(), 0);
}

TEST_F(Tokens, TheResourceModuleIsSetForTheUiModuleToo) {
    static const int module = 0;
    DetectSetInstance(&module);
    EXPECT_EQ(detectState().module, &module);
    EXPECT_EQ(uiState().module, &module);
}

TEST_F(Tokens, ADisabledTokenDeviceEndsWith5074) {
    ASSERT_TRUE(devices::setDeviceConfigFlags("USB", "VID_2F3A&PID_0101", "5&1a2b3c&0&1",
                                              devices::kConfigFlagDisabled));
    detectState().deviceFilter = "tessaly usb key";
    EXPECT_EQ(IsTokenDeviceDisabled(), 1);
    detectState().deviceFilter = "Orbec eSign";
    EXPECT_EQ(IsTokenDeviceDisabled(), 0);
    EXPECT_EQ(QxCrypto_DetectRemoveAndInsert(nullptr, firstToken().szDeviceName, 60,
                                             QX_DETECT_FLAG_INSERT),
              kCtlReplugNeeded);
}

TEST_F(Tokens, FailingToRegisterForNoticesEndsWith5074AfterAMessage) {
    devices::seam::failNextRegistration();
    Request request("", 60, QX_DETECT_FLAG_INSERT);
    const auto box = user_.waitForMessageBox(5s);
    ASSERT_TRUE(box);
    const auto reply = user_.dump(*box);
    ASSERT_TRUE(reply) << reply.error;
    EXPECT_EQ(*reply.body.find("dialog")->find("caption")->asString(), "Error");
    ASSERT_TRUE(user_.answer(*box, "ok"));
    EXPECT_EQ(request.result(), kCtlReplugNeeded);
    EXPECT_EQ(devices::deviceNotificationCount(), 0u);
}

// ---- The texts in every language -----------------------------------------------------------

// The remove and insert texts of the string table, by id.
const std::map<std::uint32_t, const char*> kReplugTexts = {
    // Card: big5, gb, English, jp.
    {30177, "請先將ATM卡片拔出後，重新插入。"},
    {30185, "請先將ATM卡片拔出後，重新插入。"},
    {30181, "請插入ATM卡片。"},
    {30189, "請插入ATM卡片。"},
    {30180, "请先将所有放行之凭证拔出后，重新插入。"},
    {30188, "请先将放行之凭证拔出后，重新插入。"},
    {30184, "请插入ATM卡片。"},
    {30192, "请插入放行之凭证。"},
    {30178, "Please draw out your ATM Card first."},
    {30186, "Please draw out your ATM Card first and insert again."},
    {30182, "Please insert your ATM Card."},
    {30190, "Please insert your ATM Card."},
    {30179, "あなたが挿入し直し、ATMカードの後に引き出すために必要がある。"},
    {30187, "あなたが挿入し直し、ATMカードの後に引き出すために必要がある。"},
    {30183, "ATMカードを挿入してください"},
    {30191, "ATMカードを挿入してください"},
    // Token.
    {30146, "請先將放行之憑證拔出後，重新插入。 "},
    {30152, "請先將ATM卡片拔出後，重新插入。 "},
    {30149, "請插入放行之憑證。"},
    {30155, "請插入ATM卡片。"},
    {30173, "请先将所有放行之凭证拔出后，重新插入。"},
    {30175, "请先将所有放行之凭证拔出后，重新插入。"},
    {30174, "请插入放行之凭证。"},
    {30176, "请插入ATM卡片。"},
    {30148, "Please draw out your token first."},
    {30154, "Please draw out your ATM Card first and insert again."},
    {30151, "Please insert your token."},
    {30157, "Please insert your ATM Card."},
    {30147, "抜き出して設置を下さい "},
    {30153, "あなたが挿入し直し、ATMカードの後に引き出すために必要がある。"},
    {30150, "挿入して設置を下さい"},
    {30156, "ATMカードを挿入してください。"},
};

// Japanese among them, which no dialog shows: a Japanese request runs in
// English.
TEST(DetectTexts, TheTableHoldsEveryRemoveAndInsertText) {
    QxDetect_RegisterResources();
    for (const auto& [id, text] : kReplugTexts) {
        const auto loaded = loadString(id, kLanguageChineseTaiwan);
        ASSERT_TRUE(loaded) << id;
        EXPECT_EQ(platform::utf16ToUtf8(*loaded), text) << id;
    }
    // Texts the table does not hold: the pause's and the confirmation's.
    for (const std::uint32_t id : {30158, 30159, 30160, 30161, 30162, 30163, 30164, 30165, 30166}) {
        EXPECT_FALSE(loadString(id, kLanguageChineseTaiwan)) << id;
    }
}

// The ids a dialog of one language shows, with a removal first (0x10000)
// and without: remove, then insert.
struct ShownIds {
    std::uint32_t remove;
    std::uint32_t insert;
};

struct LanguageCase {
    const char* name;
    const char* language;
    std::uint32_t dialog;
    ShownIds card[2];
    ShownIds token[2];
};

void PrintTo(const LanguageCase& c, std::ostream* os) {
    *os << c.name;
}

class DetectLanguages : public Detection, public ::testing::WithParamInterface<LanguageCase> {
protected:
    // The message once it is the one expected (or the last one seen).
    std::string messageBecomes(Window dialog, std::uint32_t id) {
        const std::string expected = kReplugTexts.at(id);
        std::string seen;
        const auto until = std::chrono::steady_clock::now() + 4s;
        while (std::chrono::steady_clock::now() < until) {
            seen = messageOf(dialog);
            if (seen == expected) {
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        return seen;
    }
};

constexpr int kModes[2] = {QX_DETECT_REPLUG_MASK, QX_DETECT_FLAG_INSERT};

// A card (or token) in at the start asks for its removal; once out, for its
// insertion.
TEST_P(DetectLanguages, EachDialogShowsTheTextsOfItsLanguageAndMode) {
    const LanguageCase& c = GetParam();
    ASSERT_EQ(UI_SetLanguage(c.language), kCtlOk);
    ASSERT_NE(insert(), nullptr);
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(mode == 0 ? "card, removal first" : "card");
        Request request(rig.readers()[0], 60, kModes[mode]);
        const Window dialog = waitFor(c.dialog);
        ASSERT_NE(dialog, 0u);
        EXPECT_EQ(messageBecomes(dialog, c.card[mode].remove),
                  kReplugTexts.at(c.card[mode].remove));
        ASSERT_TRUE(rig.removeCard(*card)) << rig.why();
        EXPECT_EQ(messageBecomes(dialog, c.card[mode].insert),
                  kReplugTexts.at(c.card[mode].insert));
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        EXPECT_EQ(request.result(), kCtlCancelled);
        ASSERT_TRUE(rig.reinsertCard(*card)) << rig.why();
    }
    ASSERT_TRUE(rig.removeCard(*card)) << rig.why();
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(mode == 0 ? "token, removal first" : "token");
        const std::string token =
            devices::plugDevice(firstToken().guidInterface, tokenPath("vid_2f3a&pid_0101"));
        ASSERT_FALSE(token.empty());
        Request request("", 60, kModes[mode]);
        const Window dialog = waitFor(c.dialog);
        ASSERT_NE(dialog, 0u);
        EXPECT_EQ(messageBecomes(dialog, c.token[mode].remove),
                  kReplugTexts.at(c.token[mode].remove));
        ASSERT_TRUE(devices::unplugDevice(token));
        EXPECT_EQ(messageBecomes(dialog, c.token[mode].insert),
                  kReplugTexts.at(c.token[mode].insert));
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        EXPECT_EQ(request.result(), kCtlCancelled);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, DetectLanguages,
                         ::testing::Values(LanguageCase{"Big5",
                                                        "big5",
                                                        kDetectDialogBig5,
                                                        {{30177, 30181}, {30185, 30189}},
                                                        {{30146, 30149}, {30152, 30155}}},
                                           LanguageCase{"Gb",
                                                        "gb",
                                                        kDetectDialogGb,
                                                        {{30180, 30184}, {30188, 30192}},
                                                        {{30173, 30174}, {30175, 30176}}},
                                           LanguageCase{"English",
                                                        "english",
                                                        kDetectDialogEnglish,
                                                        {{30178, 30182}, {30186, 30190}},
                                                        {{30148, 30151}, {30154, 30157}}}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The smart-card service ------------------------------------------------------------------

class NoService : public Detection {
protected:
    NoService() { startPcscd = false; }
    void SetUp() override {
        // Read by the PC/SC library once, at its first call.
        ::setenv("PCSCLITE_CSOCK_NAME", (box_.root() / "nowhere" / "pcscd.comm").c_str(), 1);
        Detection::SetUp();
    }
};

TEST_F(NoService, TheRequestEndsWith5074AndAStartIsRequested) {
    ::setenv("CORVANTIX_PCSCD", "/bin/true", 1);
    const std::size_t baseline = threadCount();
    EXPECT_EQ(
        QxCrypto_DetectRemoveAndInsert(nullptr, "Virtual PCD 00 00", 60, QX_DETECT_REPLUG_MASK),
        kCtlReplugNeeded);
    EXPECT_NE(logText().find("Service start pending..."), std::string::npos) << logText();
    EXPECT_EQ(threadsSettleTo(baseline), baseline);
    ::unsetenv("CORVANTIX_PCSCD");
}

struct ServiceCase {
    const char* name;
    const char* program;
    int result;
    const char* logged;
};

void PrintTo(const ServiceCase& c, std::ostream* os) {
    *os << c.name;
}

class ServiceStart : public NoService, public ::testing::WithParamInterface<ServiceCase> {};

TEST_P(ServiceStart, GivesItsCode) {
    ::setenv("CORVANTIX_PCSCD", GetParam().program, 1);
    EXPECT_EQ(SCardServiceDetect(), GetParam().result);
    EXPECT_NE(logText().find(GetParam().logged), std::string::npos) << logText();
    ::unsetenv("CORVANTIX_PCSCD");
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ServiceStart,
    ::testing::Values(
        ServiceCase{"StartPending", "/bin/true", kCtlReplugNeeded, "Service start pending..."},
        ServiceCase{"StartFails", "/bin/false", kCtlReplugNeeded, "StartService failed (1)"},
        ServiceCase{"NotInstalled", "/nonexistent/pcscd", kCtlServiceUnavailable,
                    "OpenService /nonexistent/pcscd failed"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Detection, TheServiceCheckPassesWhilePcscdRuns) {
    EXPECT_EQ(SCardServiceDetect(), kCtlOk);
}

} // namespace
} // namespace detect_test
