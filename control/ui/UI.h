#pragma once

// The control's own dialogs that ask the user for secrets: the card PIN (a
// keypad dialog with or without a 60-second countdown, or a plain dialog),
// the old and new PIN of a PIN change, and a graphic verification code that
// the user types back. Every dialog runs modally on the calling thread,
// owned by the window that has that thread's focus, above all windows and
// centred on the screen; its outcome is a ControlErrorCode, which also
// stays as the last error (UI_GetError). Entered PINs reach the caller only
// as SecretString, wiped when freed.
//
// A PIN request as the card methods make it:
//   UI_SetPasswdDlgProc(PasswdDlg_CountDown);  // or UI_ATMPasswdDlg
//   UI_SetKeyFontSize(18);
//   UI_SetPasswdMaxLen(12);
//   UI_PasswdDlg(0, 0, pin);
// A PIN change stores its countdown procedure with UI_SetCHPasswdDlgProc and
// calls UI_CHPasswdDlg(0, oldPin, newPin); that procedure is
//   UI_CHPasswdDlgInit(flags);
//   if (UI_GetError() == kCtlOk)
//       result = UI_DialogBox(kUiChangePinDialog, UI_CHPasswdDlgCallBack_CountDown);
//   UI_CHPasswdDlgFinal(flags, oldPin, newPin);  // 5073 instead when result was 5073

#include "control/ControlErrorCode.h"
#include "control/SecretString.h"
#include "platform/ui/Dialog.h"

#include <cstdint>

// iFlags bits read here.
inline constexpr int QX_UI_FLAG_PASSWD_STRENGTH = 0x40;        // the strength rule on entered PINs
inline constexpr int QX_UI_FLAG_PASSWD_KEYBOARD = 0x400;       // typing on the keyboard
inline constexpr int QX_UI_FLAG_PASSWD_KEYPAD = 0x800;         // clicking the keypad
inline constexpr int QX_UI_FLAG_VERIFYCODE_SHUFFLE = 0x100000; // random places in the captcha
// The dialog choice of UI_PasswdDlg: the plain dialog instead of the keypad.
inline constexpr int QX_UI_PASSWD_DLG_SIMPLE = 0x2;
// The alphabet of the verification code; none of them means all three.
inline constexpr int QX_UI_VERIFYCODE_DIGITS = 0x1;
inline constexpr int QX_UI_VERIFYCODE_LOWER = 0x2;
inline constexpr int QX_UI_VERIFYCODE_UPPER = 0x4;

// UI_GetLanguage.
inline constexpr int kUiLanguageNone = 0;
inline constexpr int kUiLanguageBig5 = 1;
inline constexpr int kUiLanguageEnglish = 2;
inline constexpr int kUiLanguageGb = 3;
inline constexpr int kUiLanguageJp = 4;

// The dialogs, as the control's resources hold them.
inline constexpr std::uint32_t kUiPinDialog = 28000;       // keypad
inline constexpr std::uint32_t kUiPlainPinDialog = 28001;  // no keypad
inline constexpr std::uint32_t kUiChangePinDialog = 28002; // old, new and confirmation
inline constexpr std::uint32_t kUiVerifyCodeDialog = 29000;

// A module whose resources the dialogs use (an address inside it).
using UiModule = const void*;

// A PIN procedure: asks for the PIN; on 0 the PIN is in pin.
using UI_PasswdDlgProcType = ControlErrorCode (*)(int iFlags, SecretString& pin);
// A change-PIN procedure: on 0 the old and the new PIN are in oldPin, newPin.
using UI_CHPasswdDlgProcType = ControlErrorCode (*)(int iFlags, SecretString& oldPin,
                                                    SecretString& newPin);

// 5005 for null, else 0.
ControlErrorCode UI_SetInstance(UiModule module);
// "default", "big5", "english", "gb" or "jp", in any case: 0; 5004 for any
// other name (the language stays), 5005 for null.
ControlErrorCode UI_SetLanguage(const char* name);
int UI_GetLanguage();
ControlErrorCode UI_GetError();

// The procedure for the next UI_PasswdDlg only (5005 for null).
ControlErrorCode UI_SetPasswdDlgProc(UI_PasswdDlgProcType proc);
// The procedure of every later UI_CHPasswdDlg (5005 for null).
ControlErrorCode UI_SetCHPasswdDlgProc(UI_CHPasswdDlgProcType proc);
// The height of the digits on the keypad (15 at start).
ControlErrorCode UI_SetKeyFontSize(int height);
// The most characters of each entry field; 0 or less: no limit of the
// caller's (the fields never take more than 259).
ControlErrorCode UI_SetPasswdMaxLen(int length);

// Asks for the PIN: the stored procedure when one is set, else the keypad
// dialog without countdown, or the plain dialog when choice has
// QX_UI_PASSWD_DLG_SIMPLE.
ControlErrorCode UI_PasswdDlg(int iFlags, int choice, SecretString& pin);
// PIN procedures: the keypad dialog without and with the countdown.
ControlErrorCode UI_ATMPasswdDlg(int iFlags, SecretString& pin);
ControlErrorCode PasswdDlg_CountDown(int iFlags, SecretString& pin);
// Asks for the old PIN, the new one and its confirmation: the stored
// procedure when one is set, else UI_DefaultCHPasswdDlg.
ControlErrorCode UI_CHPasswdDlg(int iFlags, SecretString& oldPin, SecretString& newPin);
// The change-PIN dialog without countdown, modeless with its own message
// pump, which stops with the dialog.
ControlErrorCode UI_DefaultCHPasswdDlg(int iFlags, SecretString& oldPin, SecretString& newPin);

// The first and last step of every PIN and change-PIN procedure. Init
// resets the last error and prepares the dialog for the flags; Final checks
// what was entered, hands it out on success and wipes it in every case.
ControlErrorCode UI_PasswdDlgInit(int iFlags);
ControlErrorCode UI_PasswdDlgFinal(int iFlags, SecretString& pin);
ControlErrorCode UI_CHPasswdDlgInit(int iFlags);
ControlErrorCode UI_CHPasswdDlgFinal(int iFlags, SecretString& oldPin, SecretString& newPin);

// The verification code: arrangement is the caller's iFlags masked with
// QX_UI_FLAG_VERIFYCODE_SHUFFLE, alphabet the QX_UI_VERIFYCODE_* bits. 0
// when the code was typed back; 5038 for a wrong code, 5070 for Cancel.
ControlErrorCode UI_VerifyCodeDlg(int arrangement, int alphabet);

// Runs a dialog of the control modally, owned by the window with the
// thread's focus (initParam reaches its procedure with WM_INITDIALOG); its
// result, or 5001 (also as the last error) when the dialog could not be
// made.
platform::ui::LResult UI_DialogBox(std::uint32_t templateId, platform::ui::DialogProc proc,
                                   platform::ui::LParam initParam = 0);

// The dialog procedures.
platform::ui::LResult UI_PasswdDlgCallBack(platform::ui::Window dialog, std::uint32_t message,
                                           platform::ui::WParam wParam,
                                           platform::ui::LParam lParam);
platform::ui::LResult UI_PasswdDlgCallBack_CountDown(platform::ui::Window dialog,
                                                     std::uint32_t message,
                                                     platform::ui::WParam wParam,
                                                     platform::ui::LParam lParam);
platform::ui::LResult UI_SimplePasswdDlgCallBack(platform::ui::Window dialog, std::uint32_t message,
                                                 platform::ui::WParam wParam,
                                                 platform::ui::LParam lParam);
platform::ui::LResult UI_CHPasswdDlgCallBack(platform::ui::Window dialog, std::uint32_t message,
                                             platform::ui::WParam wParam,
                                             platform::ui::LParam lParam);
platform::ui::LResult UI_CHPasswdDlgCallBack_CountDown(platform::ui::Window dialog,
                                                       std::uint32_t message,
                                                       platform::ui::WParam wParam,
                                                       platform::ui::LParam lParam);
platform::ui::LResult UI_VerifyCodeDlgCallBack(platform::ui::Window dialog, std::uint32_t message,
                                               platform::ui::WParam wParam,
                                               platform::ui::LParam lParam);
