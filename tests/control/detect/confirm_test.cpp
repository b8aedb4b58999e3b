// The confirmation dialogs through a real pcscd with the card emulator and
// the scripted user: OK only after the card was really pulled out and put
// back, Cancel, the countdown, the texts they show and wipe, and no thread
// left behind.

#include "control/ui/UIConfirm.h"
#include "tests/control/detect/DetectFixture.h"

#include <ostream>

namespace detect_test {
namespace {

struct ConfirmCase {
    const char* name;
    std::uint32_t templateId;
    ControlErrorCode (*run)(std::string_view reader);
};

void PrintTo(const ConfirmCase& c, std::ostream* os) {
    *os << c.name;
}

const ConfirmCase kConfirms[] = {
    {"Transfer", kUiTransferConfirmDialog, UI_TransferConfirmDlg},
    {"Payment", kUiPayConfirmDialog, UI_PayConfirmDlg},
    {"TransactionInformation", kUiTacInfoDialog, UI_GenerateTACINFODlg},
};

void writeTexts() {
    g_szReaderPrompt.set(u"轉帳確認");
    g_szOutAccount.set(u"0123-456-789");
    g_szInAccount.set(u"9876-543-210");
    g_szPayType.set(u"Water bill");
    g_szAmount.set(u"1,500");
    g_szTACInfo.set(u"Pay 1,500 to 9876-543-210");
}

class Confirmation : public DetectUi, public ::testing::WithParamInterface<ConfirmCase> {
protected:
    void SetUp() override {
        DetectUi::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_NE(insert(), nullptr);
        writeTexts();
        baseline = threadCount();
    }
    // Advances the clock a second at a time until OK is enabled, at most
    // `ticks` times; whether it became enabled.
    bool okEnabledWithin(Window dialog, int ticks) {
        for (int i = 0; i < ticks; ++i) {
            EXPECT_EQ(advanceClock(1s), AdvanceResult::Done);
            if (enabledOf(dump(dialog), kIdOk)) {
                return true;
            }
        }
        return false;
    }
    std::size_t baseline = 0;
};

TEST_P(Confirmation, OkComesOnlyAfterThePulledCardIsPutBack) {
    ModalThread request([this] { return static_cast<LResult>(GetParam().run(reader)); });
    const Window dialog = waitFor(GetParam().templateId);
    ASSERT_NE(dialog, 0u);
    // A card left in the reader is no insertion.
    EXPECT_FALSE(okEnabledWithin(dialog, 2));
    EXPECT_EQ(user_.click(dialog, kIdOk).ok, false);
    // Pulled out alone: still no OK.
    ASSERT_TRUE(rig.removeCard(*card)) << rig.why();
    EXPECT_FALSE(okEnabledWithin(dialog, 2));
    ASSERT_TRUE(rig.reinsertCard(*card)) << rig.why();
    ASSERT_TRUE(okEnabledWithin(dialog, 3));
    ASSERT_TRUE(user_.click(dialog, kIdOk));
    EXPECT_EQ(request.result(), kCtlOk);
    // What the dialog showed is wiped when it goes.
    if (GetParam().templateId == kUiTacInfoDialog) {
        EXPECT_TRUE(g_szTACInfo.empty());
    } else {
        EXPECT_TRUE(g_szReaderPrompt.empty());
        EXPECT_TRUE(g_szAmount.empty());
    }
    EXPECT_EQ(threadsSettleTo(baseline), baseline);
}

TEST_P(Confirmation, APullAloneLeavesOkOffUntilTheCountdownEnds) {
    ModalThread request([this] { return static_cast<LResult>(GetParam().run(reader)); });
    const Window dialog = waitFor(GetParam().templateId);
    ASSERT_NE(dialog, 0u);
    EXPECT_EQ(textOf(dump(dialog), kUiConfirmCountdown), "60");
    ASSERT_TRUE(rig.removeCard(*card)) << rig.why();
    ASSERT_EQ(advanceClock(58s), AdvanceResult::Done);
    const JsonValue d = dump(dialog);
    EXPECT_FALSE(enabledOf(d, kIdOk));
    EXPECT_EQ(textOf(d, kUiConfirmCountdown), " 2");
    EXPECT_FALSE(request.result(0ms).has_value());
    ASSERT_EQ(advanceClock(2s), AdvanceResult::Done);
    EXPECT_EQ(request.result(), kCtlTimedOut);
    EXPECT_EQ(threadsSettleTo(baseline), baseline);
}

TEST_P(Confirmation, CancelEndsWith5070EvenWhenOkIsOn) {
    ModalThread request([this] { return static_cast<LResult>(GetParam().run(reader)); });
    const Window dialog = waitFor(GetParam().templateId);
    ASSERT_NE(dialog, 0u);
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
    EXPECT_EQ(threadsSettleTo(baseline), baseline);
    // The flags start cleared in the next dialog: an earlier change does not
    // count there.
    SetCardStateFlags(1, 1);
    ModalThread again([this] { return static_cast<LResult>(GetParam().run(reader)); });
    const Window second = waitFor(GetParam().templateId);
    ASSERT_NE(second, 0u);
    EXPECT_FALSE(okEnabledWithin(second, 1));
    ASSERT_TRUE(user_.close(second));
    EXPECT_EQ(again.result(), kCtlCancelled);
}

INSTANTIATE_TEST_SUITE_P(Dialogs, Confirmation, ::testing::ValuesIn(kConfirms),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DetectUi, TheTransferConfirmationShowsWhatTheMethodWrote) {
    ASSERT_NE(insert(), nullptr);
    writeTexts();
    ModalThread request([this] { return static_cast<LResult>(UI_TransferConfirmDlg(reader)); });
    const Window dialog = waitFor(kUiTransferConfirmDialog);
    ASSERT_NE(dialog, 0u);
    const JsonValue d = dump(dialog);
    EXPECT_EQ(*d.find("caption")->asString(), "轉帳確認");
    EXPECT_EQ(textOf(d, kUiConfirmFromAccount), "0123-456-789");
    EXPECT_EQ(textOf(d, kUiConfirmToAccount), "9876-543-210");
    EXPECT_EQ(textOf(d, kUiConfirmAmount), "1,500");
    EXPECT_EQ(textOf(d, kUiConfirmFromLabel), "轉出帳號");
    EXPECT_EQ(textOf(d, kIdOk), "確認");
    EXPECT_EQ(drawnBitmaps(d), std::vector<std::int64_t>{kUiBitmapConfirm});
    // The instruction and the seconds in red on the 3D face.
    EXPECT_EQ(*controlOf(d, kUiConfirmInstruction)->find("colour")->asString(), "#ff0000");
    EXPECT_EQ(*controlOf(d, kUiConfirmCountdown)->find("colour")->asString(), "#ff0000");
    EXPECT_EQ(*controlOf(d, kUiConfirmFromLabel)->find("colour")->asString(), "#000000");
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
    // Wiped when the dialog went.
    EXPECT_TRUE(g_szOutAccount.empty());
    EXPECT_TRUE(g_szInAccount.empty());
}

TEST_F(DetectUi, ThePaymentConfirmationWipesItsTextsOnceShown) {
    ASSERT_NE(insert(), nullptr);
    writeTexts();
    ModalThread request([this] { return static_cast<LResult>(UI_PayConfirmDlg(reader)); });
    const Window dialog = waitFor(kUiPayConfirmDialog);
    ASSERT_NE(dialog, 0u);
    const JsonValue d = dump(dialog);
    EXPECT_EQ(textOf(d, kUiConfirmPayKind), "Water bill");
    EXPECT_EQ(textOf(d, kUiConfirmKindLabel), "繳款類別");
    EXPECT_TRUE(g_szPayType.empty());
    EXPECT_TRUE(g_szOutAccount.empty());
    EXPECT_TRUE(g_szReaderPrompt.empty());
    ASSERT_TRUE(user_.key(dialog, "escape"));
    EXPECT_EQ(request.result(), kCtlCancelled);
}

// A watcher that cannot follow the reader leaves OK off, and ends by itself.
TEST_F(DetectUi, AWatcherWithoutAReaderLeavesOkOff) {
    ASSERT_NE(insert(), nullptr);
    reader = "No Such Reader 00 00";
    ModalThread request([this] { return static_cast<LResult>(UI_TransferConfirmDlg(reader)); });
    const Window dialog = waitFor(kUiTransferConfirmDialog);
    ASSERT_NE(dialog, 0u);
    ASSERT_TRUE(rig.removeCard(*card)) << rig.why();
    ASSERT_TRUE(rig.reinsertCard(*card)) << rig.why();
    ASSERT_EQ(advanceClock(2s), AdvanceResult::Done);
    EXPECT_FALSE(enabledOf(dump(dialog), kIdOk));
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
    EXPECT_NE(logText().find("WatchCardState rtn = C"), std::string::npos) << logText();
}

// ---- The keypad-reader prompt and instruction ---------------------------------------

class ReaderPrompt : public DetectUi {
protected:
    ReaderPrompt() { startPcscd = false; }
};

TEST_F(ReaderPrompt, RunsOverTheBrowserWindowOfItsClassUntilTheMethodFinishes) {
    const pid_t tool = testing_support::startProgram(
        {CORVANTIX_SESSION_TOOL, "window", "Chrome_WidgetWin_1", "Bank - Chromium"}, true);
    ASSERT_GT(tool, 0);
    Window browser = 0;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (browser == 0 && std::chrono::steady_clock::now() < until) {
        browser = platform::findWindowByClass("Chrome_WidgetWin_1");
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_NE(browser, 0u);
    const std::size_t baseline = threadCount();
    g_szUserBrowser.set(u"Chrome");
    g_szReaderPrompt.set(u"餘額查詢 Balance Inquiry");
    UI_StartReaderPrompt();
    const Window dialog = waitFor(kUiReaderPromptDialog);
    ASSERT_NE(dialog, 0u);
    JsonValue d = dump(dialog);
    EXPECT_EQ(*d.find("owner")->asNumber(), static_cast<std::int64_t>(browser));
    EXPECT_EQ(*d.find("caption")->asString(), "餘額查詢 Balance Inquiry");
    EXPECT_EQ(textOf(d, kUiPromptCountdown), "您需要在60秒的時間內完成交易確認，否則交易將取消。");
    EXPECT_EQ(*controlOf(d, kUiPromptReaderName)->find("colour")->asString(), "#0000ff");
    // The user cannot end it.
    ASSERT_TRUE(user_.close(dialog));
    ASSERT_TRUE(user_.key(dialog, "escape"));
    ASSERT_EQ(advanceClock(1s), AdvanceResult::Done);
    d = dump(dialog);
    EXPECT_EQ(textOf(d, kUiPromptCountdown), "您需要在59秒的時間內完成交易確認，否則交易將取消。");
    EXPECT_EQ(UI_FinishReaderPrompt(), kCtlOk);
    EXPECT_TRUE(g_szReaderPrompt.empty());
    EXPECT_EQ(threadsSettleTo(baseline), baseline);
    ::kill(tool, SIGTERM);
    ::waitpid(tool, nullptr, 0);
}

struct OwnerCase {
    const char* name;
    const char16_t* browser;
    const char* title; // a window of the test's own, or none
    bool ownedByIt;    // else: by the desktop, or (with a title) by nobody
};

void PrintTo(const OwnerCase& c, std::ostream* os) {
    *os << c.name;
}

class PromptOwners : public ReaderPrompt, public ::testing::WithParamInterface<OwnerCase> {};

TEST_P(PromptOwners, AreFoundByTheBrowserName) {
    const OwnerCase& c = GetParam();
    Window mine = 0;
    if (c.title != nullptr) {
        platform::createTopLevelWindow("Notes", "Notepad");
        mine = platform::createTopLevelWindow(c.title, "Edge_Frame");
        ASSERT_NE(mine, 0u);
    }
    g_szUserBrowser.set(c.browser);
    UI_StartReaderPrompt();
    const Window dialog = waitFor(kUiReaderPromptDialog);
    ASSERT_NE(dialog, 0u);
    const auto owner = static_cast<Window>(*dump(dialog).find("owner")->asNumber());
    if (c.ownedByIt) {
        EXPECT_EQ(owner, mine);
    } else if (c.title == nullptr) {
        EXPECT_EQ(owner, platform::desktopWindow());
    } else {
        EXPECT_EQ(owner, 0u);
    }
    EXPECT_EQ(UI_FinishReaderPrompt(), kCtlOk);
}

INSTANTIATE_TEST_SUITE_P(
    Browsers, PromptOwners,
    ::testing::Values(OwnerCase{"Edge", u"Edge", "Bank - Microsoft Edge", true},
                      OwnerCase{"EdgeWithoutItsWindow", u"Edge", "Bank - Other Browser", false},
                      OwnerCase{"LowerCaseName", u"chrome", nullptr, false},
                      OwnerCase{"NoBrowserWindow", u"FireFox", "Bank", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReaderPrompt, EndsWith5073WhenTheMethodNeverFinishes) {
    UI_StartReaderPrompt();
    const Window dialog = waitFor(kUiReaderPromptDialog);
    ASSERT_NE(dialog, 0u);
    ASSERT_EQ(advanceClock(60s), AdvanceResult::Done);
    ASSERT_TRUE(user_.waitClose(dialog, 5s));
    EXPECT_EQ(UI_FinishReaderPrompt(), kCtlTimedOut);
}

TEST_F(ReaderPrompt, AFinishBeforeTheDialogShowsEndsItAtOnce) {
    const std::size_t baseline = threadCount();
    UI_StartReaderPrompt();
    EXPECT_EQ(UI_FinishReaderPrompt(), kCtlOk);
    // Again, so that a finished prompt does not stay finished.
    UI_StartReaderPrompt();
    const Window dialog = waitFor(kUiReaderPromptDialog);
    ASSERT_NE(dialog, 0u);
    ASSERT_EQ(advanceClock(1s), AdvanceResult::Done);
    EXPECT_TRUE(platform::ui::isWindow(dialog));
    EXPECT_EQ(UI_FinishReaderPrompt(), kCtlOk);
    EXPECT_EQ(threadsSettleTo(baseline), baseline);
}

TEST_F(ReaderPrompt, TheInstructionEndsWithOkOrAtTheLayersCeiling) {
    g_szReaderPrompt.set(u"轉帳確認");
    ModalThread ok([] { return static_cast<LResult>(UI_ReaderInstructionDlg()); });
    Window dialog = waitFor(kUiReaderInstructionDialog);
    ASSERT_NE(dialog, 0u);
    const JsonValue d = dump(dialog);
    EXPECT_EQ(*d.find("caption")->asString(), "轉帳確認");
    EXPECT_EQ(drawnBitmaps(d), std::vector<std::int64_t>{kUiBitmapReaderPrompt});
    ASSERT_TRUE(user_.key(dialog, "escape"));
    ASSERT_TRUE(user_.close(dialog));
    EXPECT_FALSE(ok.result(0ms).has_value());
    ASSERT_TRUE(user_.click(dialog, kIdOk));
    EXPECT_EQ(ok.result(), kCtlOk);
    EXPECT_TRUE(g_szReaderPrompt.empty());

    ModalThread forgotten([] { return static_cast<LResult>(UI_ReaderInstructionDlg()); });
    dialog = waitFor(kUiReaderInstructionDialog);
    ASSERT_NE(dialog, 0u);
    ASSERT_EQ(advanceClock(modalWaitCeiling()), AdvanceResult::Done);
    EXPECT_EQ(forgotten.result(), kCtlTimedOut);
}

// ---- Their texts, the same in every language ------------------------------------------

// What each dialog shows, as its template gives it; id 0 is the caption.
struct Shown {
    std::uint32_t dialog;
    int id;
    const char* text;
};

const Shown kShown[] = {
    {kUiTransferConfirmDialog, 0, "轉帳確認"},
    {kUiTransferConfirmDialog, kIdOk, "確認"},
    {kUiTransferConfirmDialog, kIdCancel, "取消"},
    {kUiTransferConfirmDialog, kUiConfirmFromLabel, "轉出帳號"},
    {kUiTransferConfirmDialog, kUiConfirmToLabel, "轉入帳號"},
    {kUiTransferConfirmDialog, kUiConfirmAmountLabel, "金額"},
    {kUiTransferConfirmDialog, kUiConfirmInstruction,
     "請將您的晶片卡抽出後重新插入，才能按【確認】鍵繼續進行交易！"},
    {kUiTransferConfirmDialog, kUiConfirmCountdownText, "您有     秒的時間，否則交易將取消。"},
    {kUiPayConfirmDialog, 0, "轉帳確認"},
    {kUiPayConfirmDialog, kIdOk, "確認"},
    {kUiPayConfirmDialog, kIdCancel, "取消"},
    {kUiPayConfirmDialog, kUiConfirmFromLabel, "轉出帳號"},
    {kUiPayConfirmDialog, kUiConfirmKindLabel, "繳款類別"},
    {kUiPayConfirmDialog, kUiConfirmAmountLabel, "金額"},
    {kUiPayConfirmDialog, kUiConfirmInstruction,
     "請將您的晶片卡抽出後重新插入，才能按【確認】鍵繼續進行交易！"},
    {kUiPayConfirmDialog, kUiConfirmCountdownText, "您有     秒的時間，否則交易將取消。"},
    {kUiTacInfoDialog, 0, "交易確認視窗"},
    {kUiTacInfoDialog, kIdOk, "確定"},
    {kUiTacInfoDialog, kIdCancel, "取消"},
    {kUiTacInfoDialog, kUiConfirmInstruction,
     "請將您的晶片卡抽出後重新插入，\n再按【確定】鍵繼續進行交易！"},
    {kUiTacInfoDialog, kUiTacSecondsLabel, "剩餘秒數："},
    {kUiReaderPromptDialog, 0, "轉帳確認"},
    {kUiReaderPromptDialog, kUiPromptInstruction,
     "請在                                    操作：\n\n按          鍵繼續進行交易(多次)\n"
     "並依照字幕顯示需要按讀卡機上數字鍵輸入密碼並按          鍵\n按          鍵放棄交易"},
    {kUiReaderPromptDialog, kUiPromptReaderName, "二代晶片卡讀卡機"},
    {kUiReaderPromptDialog, kUiPromptOkKey, "確認"},
    {kUiReaderPromptDialog, kUiPromptOkKey2, "確認"},
    {kUiReaderPromptDialog, kUiPromptCancelKey, "取消"},
    {kUiReaderPromptDialog, kUiPromptCountdown,
     "您需要在60秒的時間內完成交易確認，否則交易將取消。"},
    {kUiReaderInstructionDialog, 0, "轉帳確認"},
    {kUiReaderInstructionDialog, kUiInstructionText,
     "請按【確定】鍵繼續，並請依  二代讀卡機  提示輸入密碼並按確認鍵執行交易內容。\n"},
    {kUiReaderInstructionDialog, kIdOk, "確定"},
};

void expectTexts(std::uint32_t templateId, const JsonValue& dialog) {
    for (const Shown& shown : kShown) {
        if (shown.dialog == templateId) {
            EXPECT_EQ(shown.id == 0 ? *dialog.find("caption")->asString()
                                    : textOf(dialog, shown.id),
                      shown.text)
                << "dialog " << templateId << ", control " << shown.id;
        }
    }
}

class ConfirmTexts : public ReaderPrompt, public ::testing::WithParamInterface<const char*> {};

TEST_P(ConfirmTexts, AreTheTemplatesTexts) {
    ASSERT_EQ(UI_SetLanguage(GetParam()), kCtlOk);
    const ConfirmCase instruction{"Instruction", kUiReaderInstructionDialog,
                                  [](std::string_view) { return UI_ReaderInstructionDlg(); }};
    std::vector<ConfirmCase> dialogs(std::begin(kConfirms), std::end(kConfirms));
    dialogs.push_back(instruction);
    for (const ConfirmCase& c : dialogs) {
        writeTexts();
        ModalThread request([this, run = c.run] { return static_cast<LResult>(run(reader)); });
        const Window dialog = waitFor(c.templateId);
        ASSERT_NE(dialog, 0u) << c.name;
        expectTexts(c.templateId, dump(dialog));
        // The instruction has no Cancel.
        ASSERT_TRUE(
            user_.click(dialog, c.templateId == kUiReaderInstructionDialog ? kIdOk : kIdCancel));
        EXPECT_TRUE(request.result().has_value()) << c.name;
    }
    writeTexts();
    UI_StartReaderPrompt();
    const Window prompt = waitFor(kUiReaderPromptDialog);
    ASSERT_NE(prompt, 0u);
    expectTexts(kUiReaderPromptDialog, dump(prompt));
    EXPECT_EQ(UI_FinishReaderPrompt(), kCtlOk);
}

INSTANTIATE_TEST_SUITE_P(Languages, ConfirmTexts, ::testing::Values("big5", "gb", "english", "jp"),
                         [](const auto& info) { return std::string(info.param); });

// ---- The fixed text areas ---------------------------------------------------------------

TEST(FixedText, CutsAtItsCapacityNeverInsideAPair) {
    UiFixedText<5> area;
    area.set(u"123456");
    EXPECT_EQ(area.view(), u"1234");
    area.set(u"123\U0001F600");
    EXPECT_EQ(area.view(), u"123");
    area.set(u"12\U0001F600");
    EXPECT_EQ(area.view(), u"12\U0001F600");
    area.wipe();
    EXPECT_TRUE(area.empty());
}

} // namespace
} // namespace detect_test
