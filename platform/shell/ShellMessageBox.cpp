#include "platform/shell/ShellMessageBox.h"

#include "platform/shell/ShellState.h"
#include "platform/text/TextCodec.h"
#include "platform/ui/Dialog.h"
#include "platform/window/MessageWindow.h"
#include "platform/windowlist/WindowList.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace platform::shell {

using namespace detail;

namespace {

// A box shown on a thread of its own while the caller's loop goes on.
struct OpenBox {
    std::mutex lock;
    platform::ui::Window window = 0;
    int result = -1;
    std::atomic<bool> done{false};
};

void journalBox(std::string_view op, std::u16string_view caption, JsonValue fields) {
    fields.set("caption", utf16ToUtf8(caption));
    journal(op, fields);
}

} // namespace

int messageBox(std::u16string_view text, std::u16string_view caption, std::uint32_t style) {
    JsonValue opened;
    opened.set("text", utf16ToUtf8(text));
    opened.set("style", static_cast<std::int64_t>(style));
    journalBox("msgbox.open", caption, opened);

    int result = -1;
    MessageWindow* loop = MessageWindow::current();
    if (loop == nullptr) {
        result = platform::ui::messageBox(0, text, caption, style);
    } else {
        auto box = std::make_shared<OpenBox>();
        std::thread shown(
            [box, loop, text = std::u16string(text), caption = std::u16string(caption), style] {
                const int answer = platform::ui::messageBox(0, text, caption, style,
                                                            [&box](platform::ui::Window window) {
                                                                std::lock_guard lock(box->lock);
                                                                box->window = window;
                                                            });
                {
                    std::lock_guard lock(box->lock);
                    box->result = answer;
                }
                box->done = true;
                loop->wake();
            });
        if (loop->runNestedLoop([&box] { return box->done.load(); }) !=
            MessageWindow::LoopEnd::Done) {
            // A quit: the box ends as a modal loop ends on one.
            while (!box->done) {
                {
                    std::lock_guard lock(box->lock);
                    if (box->window != 0) {
                        platform::ui::endDialog(box->window, 0);
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        shown.join();
        std::lock_guard lock(box->lock);
        result = box->result;
    }
    JsonValue closed;
    closed.set("result", result);
    journalBox("msgbox.close", caption, closed);
    return result;
}

bool postCloseByTitle(std::u16string_view title) {
    const std::string wanted = utf16ToUtf8(title);
    bool posted = false;
    for (const auto& window : enumTopLevelWindows()) {
        if (window.owner == getpid() && window.title == wanted) {
            posted = platform::ui::postMessage(window.handle, platform::ui::kWmClose);
            break;
        }
    }
    JsonValue fields;
    fields.set("title", wanted);
    fields.set("ok", posted);
    journal("window.close", fields);
    return posted;
}

} // namespace platform::shell
