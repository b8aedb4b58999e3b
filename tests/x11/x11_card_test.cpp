// The card control's dialogs as a person at an X display meets them: the
// control made through the registry with the card in a private pcscd, its
// dialogs drawn by its own visible backend on an Xvfb inside the rig's
// namespaces, the real clock, and the pointer played with XTest at the
// places the scripted user's dump gives. The card emulator sees what the
// clicks entered.

#include "tests/card/CardTestData.h"
#include "tests/control/com/ConnectedControl.h"
#include "tests/control/com/ControlTestSupport.h"
#include "tests/x11/XvfbServer.h"
#include "tools/CorvantixUser/UserClient.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <thread>

namespace {

using namespace tavelo_class;
using namespace control_test;
using namespace std::chrono_literals;
using card_emulator::Bytes;
using card_emulator::toHex;
using card_test::ascii;
using corvantix_user::JsonValue;
using testing_support::utf8;
using x11_test::TestDisplay;
using x11_test::XvfbServer;

constexpr std::uint32_t kTransferDialog = 204;
constexpr int kPinEdit = 42000;
constexpr int kFirstDigitKey = 1029; // ten keys, labelled in a shuffled order
constexpr int kLastDigitKey = 1038;

struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int centreX() const { return (left + right) / 2; }
    int centreY() const { return (top + bottom) / 2; }
};

Rect rectOf(const JsonValue& value) {
    const auto& r = *value.asArray();
    return {static_cast<int>(*r[0].asNumber()), static_cast<int>(*r[1].asNumber()),
            static_cast<int>(*r[2].asNumber()), static_cast<int>(*r[3].asNumber())};
}

const JsonValue* controlOf(const JsonValue& dump, int id) {
    for (const auto& control : *dump.find("dialog")->find("controls")->asArray()) {
        if (control.find("id")->asNumber() == id) {
            return &control;
        }
    }
    return nullptr;
}

// The one text the dialog drew on a control ("" when not exactly one).
std::string labelOf(const JsonValue& control) {
    std::vector<std::string> texts;
    for (const auto& op : *control.find("drawn")->asArray()) {
        if (const JsonValue* text = op.find("text")) {
            texts.push_back(*text->asString());
        }
    }
    return texts.size() == 1 ? texts.front() : "";
}

// The darkest channel value inside a rectangle of an image.
int darkest(const TestDisplay::Image& image, const Rect& r) {
    int low = 255;
    for (int y = r.top; y < r.bottom; ++y) {
        for (int x = r.left; x < r.right; ++x) {
            const auto p = image.at(x, y);
            low = std::min({low, int(p & 0xFF), int((p >> 8) & 0xFF), int((p >> 16) & 0xFF)});
        }
    }
    return low;
}

Rect inset(const Rect& r, int by) {
    return {r.left + by, r.top + by, r.right - by, r.bottom - by};
}

template <class Condition>
bool within(std::chrono::milliseconds limit, Condition condition) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Cancels the dialogs a failed step left open, so that the method's thread
// ends now and not at the end of its countdown.
struct CancelWhenFailed {
    const corvantix_user::Client& user;
    ~CancelWhenFailed() {
        if (::testing::Test::HasFatalFailure()) {
            for (const auto& d : user.listDialogs()) {
                user.click(static_cast<corvantix_user::Window>(*d.find("window")->asNumber()),
                           kCancel);
            }
        }
    }
};

class CardOnDisplay : public ConnectedControl {
protected:
    CardOnDisplay() : ConnectedControl("x11-card") { manualClock = false; }

    // The X server joins the rig's namespaces; with DISPLAY named and no
    // backend chosen, the control's first dialog picks the visible one.
    void startInRig() override {
        xvfb_.emplace();
        ASSERT_FALSE(xvfb_->name().empty()) << "Xvfb did not start";
        unsetenv("CORVANTIX_UI_BACKEND");
        screen_.emplace(xvfb_->name());
        ASSERT_NE(screen_->get(), nullptr);
    }

    void TearDown() override {
        const std::string all = endAndReadLog();
        for (const std::string& secret : {std::string(card_test::kPin), std::string("246811"),
                                          std::string("24 68 10"), card_test::kTacKey}) {
            EXPECT_EQ(all.find(secret), std::string::npos) << secret << " in the log";
        }
        if (HasFailure()) {
            std::fprintf(stderr, "control log:\n%s\n", all.c_str());
        }
        screen_.reset();
        xvfb_.reset();
    }

    JsonValue dump(corvantix_user::Window dialog) const {
        auto reply = user.dump(dialog);
        EXPECT_TRUE(reply) << reply.error;
        return reply ? std::move(reply.body) : JsonValue();
    }

    // The top-level X window that shows a dialog: of the dialogs' class,
    // mapped, titled with its caption and placed on its client area. 0 when
    // none came within the limit.
    unsigned long windowShowing(const JsonValue& dump, std::chrono::milliseconds limit = 5s) {
        const JsonValue* dialog = dump.find("dialog");
        if (dialog == nullptr) {
            return 0;
        }
        const std::string caption = *dialog->find("caption")->asString();
        const Rect client = rectOf(*dialog->find("client"));
        Display* x = screen_->get();
        unsigned long found = 0;
        seen_.clear();
        within(limit, [&] {
            seen_.clear();
            ::Window root = 0;
            ::Window parent = 0;
            ::Window* children = nullptr;
            unsigned count = 0;
            if (XQueryTree(x, DefaultRootWindow(x), &root, &parent, &children, &count) == 0) {
                return false;
            }
            for (unsigned i = 0; i < count && found == 0; ++i) {
                XClassHint hint{};
                if (XGetClassHint(x, children[i], &hint) == 0) {
                    continue;
                }
                const bool ours = std::string_view(hint.res_class) == "corvantix-dialog";
                XFree(hint.res_name);
                XFree(hint.res_class);
                XWindowAttributes a{};
                if (ours && XGetWindowAttributes(x, children[i], &a) != 0) {
                    seen_ += "\n  " + screen_->property(children[i], "_NET_WM_NAME") + " at " +
                             std::to_string(a.x) + "," + std::to_string(a.y) + " " +
                             std::to_string(a.width) + "x" + std::to_string(a.height) +
                             (a.map_state == IsViewable ? " shown" : " not shown");
                }
                if (ours && XGetWindowAttributes(x, children[i], &a) != 0 &&
                    a.map_state == IsViewable && a.x == client.left && a.y == client.top &&
                    a.width == client.right - client.left &&
                    a.height == client.bottom - client.top &&
                    screen_->property(children[i], "_NET_WM_NAME") == caption) {
                    found = children[i];
                }
            }
            if (children != nullptr) {
                XFree(children);
            }
            return found != 0;
        });
        return found;
    }

    // A control's rectangle as the dump gives it.
    static Rect placeOf(const JsonValue& dump, int id) {
        const JsonValue* control = controlOf(dump, id);
        return control != nullptr ? rectOf(*control->find("rect")) : Rect{};
    }

    std::int32_t verifyPinOnKeypad(const std::string& digits) {
        auto result = std::async(std::launch::async, [this] {
            std::int32_t rc = -12345;
            control->VerifyPIN(text(reader).get(), text("").get(), text("").get(), 0, 0, &rc);
            return rc;
        });
        {
            const CancelWhenFailed cancel{user};
            const auto dialog = user.waitForDialog(kPinDialog, 10s);
            EXPECT_TRUE(dialog) << "no PIN dialog";
            if (dialog) {
                enterOnKeypad(*dialog, digits);
            }
        }
        EXPECT_EQ(result.wait_for(10s), std::future_status::ready) << "VerifyPIN still waits";
        return result.get();
    }

    // Finds the keypad on the display, clicks each digit's key there, then OK.
    void enterOnKeypad(corvantix_user::Window dialog, const std::string& digits) {
        const JsonValue shown = dump(dialog);
        const unsigned long window = windowShowing(shown);
        ASSERT_NE(window, 0u) << "the PIN dialog is not on the display; there were:" << seen_;
        std::map<std::string, Rect> keys;
        std::map<int, Rect> places;
        for (int id = kFirstDigitKey; id <= kLastDigitKey; ++id) {
            const JsonValue* key = controlOf(shown, id);
            ASSERT_NE(key, nullptr) << id;
            places[id] = rectOf(*key->find("rect"));
            keys[labelOf(*key)] = places[id];
        }
        // A label drawn on the key: more than one colour inside it. The
        // window may be mapped before its keys are drawn.
        std::map<int, std::size_t> colourCounts;
        within(5s, [&] {
            const auto image = screen_->capture(window);
            bool drawn = true;
            for (const auto& [id, place] : places) {
                std::set<std::uint32_t> colours;
                for (int y = place.top; y < place.bottom; ++y) {
                    for (int i = place.left; i < place.right; ++i) {
                        colours.insert(image.at(i, y));
                    }
                }
                colourCounts[id] = colours.size();
                drawn = drawn && colours.size() > 1;
            }
            return drawn;
        });
        for (const auto& [id, count] : colourCounts) {
            EXPECT_GT(count, 1u) << "key " << id << " is blank on the display";
        }
        ASSERT_EQ(keys.size(), 10u) << "ten keys with ten digits";
        for (std::size_t i = 0; i < digits.size(); ++i) {
            const auto key = keys.find(std::string(1, digits[i]));
            ASSERT_NE(key, keys.end()) << digits[i];
            screen_->click(window, key->second.centreX(), key->second.centreY());
            ASSERT_TRUE(within(5s,
                               [&] {
                                   const JsonValue now = dump(dialog);
                                   const JsonValue* edit = controlOf(now, kPinEdit);
                                   return edit != nullptr && edit->find("length")->asNumber() ==
                                                                 static_cast<std::int64_t>(i + 1);
                               }))
                << "the click on " << digits[i] << " entered nothing";
        }
        const Rect ok = placeOf(shown, kOk);
        screen_->click(window, ok.centreX(), ok.centreY());
    }

    std::string tsac() {
        BstrString out;
        EXPECT_EQ(control->GetTSAC(out.receive()), S_OK);
        return out.get() != nullptr ? utf8(out.get()) : "";
    }

    std::string seen_; // the dialogs' windows windowShowing saw last
    std::optional<XvfbServer> xvfb_;
    std::optional<TestDisplay> screen_;
    corvantix_user::Client user{getpid()};
};

TEST_F(CardOnDisplay, KeypadClicksOnTheScreenVerifyThePinWithTheCard) {
    const struct {
        std::string pin;
        std::int32_t expected;
        Bytes verify; // with the PIN block the card should get
        int triesAfter;
    } rows[] = {
        {"246811", 30, card_test::kVerifyWrong, 2},
        {card_test::kPin, 0, card_test::kVerify, 3},
    };
    for (const auto& row : rows) {
        card->clearLog();
        EXPECT_EQ(verifyPinOnKeypad(row.pin), row.expected) << row.pin;
        EXPECT_EQ(commands(), (std::vector<Bytes>{card_test::kSelectApplication, row.verify}))
            << row.pin;
        EXPECT_EQ(card->triesLeft(), row.triesAfter) << row.pin;
    }
}

TEST_F(CardOnDisplay, TransferConfirmedOnTheScreenOnlyAfterTheCardWasPulledAndPutBack) {
    const std::string deviceId = "TERM0001";
    const std::string checkId = "CHK00001";
    const std::string outAccount = "0012345678901234";
    const std::string inAccount = "0098765432109876";
    const std::string amount = "1500";
    const std::string pCode = "2541";
    const std::string time = "20240102030405";
    const std::uint32_t counter = card->tsn();
    auto result = std::async(std::launch::async, [&] {
        std::int32_t rc = -12345;
        control->DoTransferTAC(text(card_test::kPin).get(), text(deviceId).get(),
                               text(checkId).get(), text("004").get(), text(outAccount).get(),
                               text("812").get(), text(inAccount).get(), text(amount).get(),
                               text(pCode).get(), text(time).get(), 0, &rc);
        return rc;
    });
    const CancelWhenFailed cancelWhenFailed{user};
    const auto dialog = user.waitForDialog(kTransferDialog, 10s);
    ASSERT_TRUE(dialog) << "no confirmation";
    const JsonValue shown = dump(*dialog);
    const unsigned long window = windowShowing(shown);
    ASSERT_NE(window, 0u) << "the confirmation is not on the display; there were:" << seen_;
    const Rect ok = placeOf(shown, kOk);
    const Rect cancel = placeOf(shown, kCancel);
    ASSERT_EQ(controlOf(shown, kOk)->find("enabled")->asBool(), false);
    const auto okLabel = [&] { return darkest(screen_->capture(window), inset(ok, 5)); };
    // Grey as the disabled label, against Cancel's dark one.
    EXPECT_GT(okLabel(), 90);
    EXPECT_LT(darkest(screen_->capture(window), inset(cancel, 5)), 60);

    screen_->click(window, ok.centreX(), ok.centreY());
    // A countdown tick or more passes: the click took nothing.
    EXPECT_EQ(result.wait_for(1500ms), std::future_status::timeout) << "OK taken too soon";
    const auto open = user.listDialogs();
    EXPECT_TRUE(std::any_of(open.begin(), open.end(), [&](const JsonValue& d) {
        return d.find("window")->asNumber() == static_cast<std::int64_t>(*dialog);
    })) << "the confirmation went";
    EXPECT_EQ(controlOf(dump(*dialog), kOk)->find("enabled")->asBool(), false);

    ASSERT_TRUE(rig.removeCard(*card)) << rig.why();
    ASSERT_TRUE(rig.reinsertCard(*card)) << rig.why();
    ASSERT_TRUE(within(5s, [&] {
        const JsonValue now = dump(*dialog);
        return controlOf(now, kOk)->find("enabled")->asBool() == true;
    })) << "OK never enabled";
    // The display follows: the label drawn dark as an enabled one.
    EXPECT_TRUE(within(5s, [&] { return okLabel() < 60; })) << "OK still grey on the display";
    EXPECT_EQ(result.wait_for(0ms), std::future_status::timeout);

    screen_->click(window, ok.centreX(), ok.centreY());
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready) << "OK on the display did nothing";
    EXPECT_EQ(result.get(), 0);
    const Bytes record = ascii(pCode + std::string(12 - amount.size(), '0') + amount + "00" +
                               deviceId + checkId + time + inAccount + outAccount);
    // The card read again after the replug, the PIN verified again on it, then GET TAC.
    EXPECT_EQ(commands(), (std::vector<Bytes>{card_test::kSelectApplication, card_test::kVerify,
                                              card_test::kReadSerial, card_test::kSelectApplication,
                                              card_test::kReadSerial, card_test::kVerify,
                                              card_test::getTacCommand(record, false)}));
    EXPECT_EQ(tsac(), toHex(card_test::expectedTac(counter, record, false)));
}

} // namespace
