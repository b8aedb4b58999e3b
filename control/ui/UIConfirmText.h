#pragma once

// The string ids of the confirmation dialogs' texts, one per language (see
// UiTextIds): the table holds them from 54000 (big5), 54100 (gb), 54200
// (english) and 54300 (jp) on.

#include "control/ui/UIDetail.h"

constexpr UiTextIds uiConfirmText(std::uint32_t element) {
    return {54000 + element, 54100 + element, 54200 + element, 54300 + element};
}

inline constexpr UiTextIds kUiTextConfirmOk = uiConfirmText(0);
inline constexpr UiTextIds kUiTextConfirmCancel = uiConfirmText(1);
inline constexpr UiTextIds kUiTextFromLabel = uiConfirmText(2);
inline constexpr UiTextIds kUiTextToLabel = uiConfirmText(3);
inline constexpr UiTextIds kUiTextAmountLabel = uiConfirmText(4);
inline constexpr UiTextIds kUiTextKindLabel = uiConfirmText(5);
inline constexpr UiTextIds kUiTextReplugInstruction = uiConfirmText(6);
inline constexpr UiTextIds kUiTextConfirmCountdown = uiConfirmText(7);
inline constexpr UiTextIds kUiTextTacCaption = uiConfirmText(8);
inline constexpr UiTextIds kUiTextTacOk = uiConfirmText(9);
inline constexpr UiTextIds kUiTextTacInstruction = uiConfirmText(10);
inline constexpr UiTextIds kUiTextTacSeconds = uiConfirmText(11);
inline constexpr UiTextIds kUiTextPromptInstruction = uiConfirmText(12);
inline constexpr UiTextIds kUiTextPromptReader = uiConfirmText(13);
inline constexpr UiTextIds kUiTextPromptOkKey = uiConfirmText(14);
inline constexpr UiTextIds kUiTextPromptCancelKey = uiConfirmText(15);
// Holds "%2d" where the seconds go.
inline constexpr UiTextIds kUiTextPromptCountdown = uiConfirmText(16);
inline constexpr UiTextIds kUiTextInstruction = uiConfirmText(17);
inline constexpr UiTextIds kUiTextTransferGroup = uiConfirmText(18);
inline constexpr UiTextIds kUiTextPayGroup = uiConfirmText(19);
