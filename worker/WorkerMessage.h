#pragma once

// The worker's general sender of the signed messages: any instruction to any
// channel, both ways at once (the window message, then the instruction's
// mutex held for 100 ms). Delivery is never confirmed by the receiver.

#include "common/Message.h"

#include <optional>
#include <string_view>

inline constexpr std::string_view kWorkerSenderName = "CorvantixWorker";

// A new stamped and signed message; nullopt without a sender or a receiver.
// No instruction counts as an empty one.
std::optional<CorvantixMessage> createIPCMsg(std::optional<std::string_view> from,
                                             std::optional<std::string_view> to,
                                             std::optional<std::string_view> instruction);

// Always true; a missing argument is logged and nothing is sent.
bool sendIPCMsgWin(std::optional<std::string_view> from, std::optional<std::string_view> to,
                   std::optional<std::string_view> instruction);

// Sends as "CorvantixWorker"; false without a receiver or with an empty
// instruction, else the result of sendIPCMsgWin.
bool sendIPCMsg(std::optional<std::string_view> to, std::optional<std::string_view> instruction);
