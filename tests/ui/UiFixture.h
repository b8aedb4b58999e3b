#pragma once

// What the dialog layer's tests share: a sandbox with the manual clock and a
// scripted backend of the test's own, a few templates, a modal dialog on a
// thread of its own, and the scripted user.

#include "platform/ui/Backend.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/Keyboard.h"
#include "platform/ui/ScriptedBackend.h"
#include "tests/support/Sandbox.h"
#include "tools/CorvantixUser/UserClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ui_test {

using namespace platform::ui;
using namespace std::chrono_literals;
using corvantix_user::Client;

// The result a dialog nobody answers ends with, as the product sets it.
inline constexpr LResult kTimeoutResult = 5073;

// Template ids and control ids of the test dialogs.
inline constexpr std::uint32_t kEntryDialog = 100;
inline constexpr int kPinEdit = 10;
inline constexpr int kKeyFirst = 20; // three owner-drawn keys: 20, 21, 22
inline constexpr int kLabel = 30;
inline constexpr int kHiddenButton = 40;
inline constexpr int kDisabledButton = 41;
inline constexpr int kAmountEdit = 50;
inline constexpr std::uint32_t kPlainDialog = 101; // OK and Cancel only

inline void registerTestTemplates() {
    DialogTemplate entry;
    entry.id = kEntryDialog;
    entry.width = 230;
    entry.height = 146;
    entry.font = {u"PMingLiU", 10};
    entry.caption = u"Enter PIN";
    entry.controls = {
        {ControlKind::Edit,
         kPinEdit,
         {6, 17, 138, 18},
         u"",
         kStylePassword | kStyleBorder | kStyleAutoHScroll | kStyleTabStop,
         0},
        {ControlKind::Button,
         kIdOk,
         {168, 7, 54, 18},
         u"OK",
         kStyleTabStop | kStyleDefaultButton,
         0},
        {ControlKind::Button, kIdCancel, {168, 29, 54, 18}, u"Cancel", kStyleTabStop, 0},
        {ControlKind::Button, kKeyFirst, {5, 57, 30, 30}, u"", kStyleOwnerDraw, 0},
        {ControlKind::Button, kKeyFirst + 1, {37, 57, 30, 30}, u"", kStyleOwnerDraw, 0},
        {ControlKind::Button, kKeyFirst + 2, {69, 57, 30, 30}, u"", kStyleOwnerDraw, 0},
        {ControlKind::Static, kLabel, {8, 129, 165, 16}, u"Amount", 0, 0},
        {ControlKind::Button, kHiddenButton, {100, 90, 30, 30}, u"Hidden", kStyleHidden, 0},
        {ControlKind::Button, kDisabledButton, {133, 90, 30, 30}, u"Off", kStyleDisabled, 0},
        {ControlKind::Edit, kAmountEdit, {6, 110, 138, 14}, u"1,500", kStyleReadOnly, 0},
    };
    registerDialogTemplate(entry);

    DialogTemplate plain;
    plain.id = kPlainDialog;
    plain.width = 187;
    plain.height = 70;
    plain.font = {u"MS Shell Dlg", 8};
    plain.caption = u"Plain";
    plain.controls = {
        {ControlKind::Button,
         kIdOk,
         {19, 43, 50, 14},
         u"OK",
         kStyleTabStop | kStyleDefaultButton,
         0},
        {ControlKind::Button, kIdCancel, {114, 42, 50, 14}, u"Cancel", kStyleTabStop, 0},
    };
    registerDialogTemplate(plain);
}

// A procedure that ends the dialog with the id of OK or Cancel.
inline LResult endOnButtons(Window dialog, std::uint32_t message, WParam wParam, LParam) {
    if (message == kWmCommand && (lowWord(wParam) == kIdOk || lowWord(wParam) == kIdCancel)) {
        endDialog(dialog, lowWord(wParam));
        return 1;
    }
    return message == kWmInitDialog ? 1 : 0;
}

// A modal dialog on a thread of its own. Should a test fail with the dialog
// still open, it is ended so the thread can be joined.
class ModalThread {
public:
    explicit ModalThread(std::function<LResult()> run)
        : result_(std::async(std::launch::async, std::move(run))) {}
    ModalThread(std::uint32_t templateId, DialogProc proc, Window owner = 0)
        : ModalThread([templateId, proc, owner] { return dialogBox(templateId, owner, proc); }) {}
    ~ModalThread() {
        while (result_.valid() && result_.wait_for(0s) != std::future_status::ready) {
            for (const Window open : openDialogs()) {
                endDialog(open, -2);
            }
            result_.wait_for(50ms);
        }
    }
    // The dialog's result, or nullopt when it did not end in time.
    std::optional<LResult> result(std::chrono::milliseconds limit = 5s) {
        if (result_.wait_for(limit) != std::future_status::ready) {
            return std::nullopt;
        }
        if (!cached_) {
            cached_ = result_.get();
        }
        return cached_;
    }

private:
    std::future<LResult> result_;
    std::optional<LResult> cached_;
};

// Waits until n dialogs of the process are open; they, in the order opened.
inline std::vector<Window> waitForOpen(std::size_t n, std::chrono::milliseconds limit = 5s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto open = openDialogs();
        if (open.size() >= n || std::chrono::steady_clock::now() >= until) {
            return open;
        }
        std::this_thread::sleep_for(5ms);
    }
}

class UiTest : public ::testing::Test {
protected:
    void SetUp() override {
        useManualClock();
        setModalWaitCeiling(300s, kTimeoutResult);
        setCapsLock(false);
        backend_ = ScriptedBackend::start();
        ASSERT_TRUE(backend_);
        setBackend(backend_);
        registerTestTemplates();
    }
    void TearDown() override {
        setBackend(nullptr);
        backend_.reset();
        useRealClock();
    }

    testing_support::Sandbox box_;
    std::shared_ptr<ScriptedBackend> backend_;
    Client user_{getpid()};
};

// Messages a procedure saw, with the thread that saw them.
class Seen {
public:
    struct Entry {
        std::uint32_t message;
        WParam wParam;
        std::thread::id thread;
    };
    void add(std::uint32_t message, WParam wParam) {
        std::lock_guard lock(mutex_);
        entries_.push_back({message, wParam, std::this_thread::get_id()});
    }
    std::vector<Entry> all() {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    // The ids of the buttons clicked, in order.
    std::vector<int> commands() {
        std::vector<int> ids;
        for (const auto& e : all()) {
            if (e.message == kWmCommand && highWord(e.wParam) == kBnClicked) {
                ids.push_back(lowWord(e.wParam));
            }
        }
        return ids;
    }

private:
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

} // namespace ui_test
