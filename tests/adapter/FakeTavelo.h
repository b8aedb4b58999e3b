#pragma once

// A fake card control for tests: an in-process server for the control's real
// class that records every call and answers from a script. Tests of the
// adapter and of the service register it in their sandbox registry in place
// of the control.
//
// Use from a CMake test target:
//   target_link_libraries(<test> PRIVATE fake_tavelo_support)
// then, with CORVANTIX_ROOT set (a testing_support::Sandbox):
//   fake_tavelo::registerControl();
// A program that runs outside the test (the service started by a test) sees
// the registration too, as the registry lives below CORVANTIX_ROOT. From a
// shell: fake_tavelo_register [--unregister] (the helper program beside the
// tests, $<TARGET_FILE:fake_tavelo_register>).
//
// Files, below $CORVANTIX_ROOT/FakeVondelTavelo/:
//   script  read at every call; one instruction a line, the last line for a
//           method wins:
//             answer <Method> <value>   a number method answers the decimal
//                                       value, a text method the text (rest of
//                                       the line, may be empty), GetReaderList
//                                       the names separated by ";"
//             fail <Method> <hresult>   the method returns that HRESULT (hex
//                                       with 0x, or decimal)
//           Methods without a line answer 0, the empty text or an empty list.
//   calls   appended to: one line per event, fields separated by tabs:
//             <object> Create | Destroy
//             <object> <Method> <argument>...
//           <object> numbers the objects of one process from 1. A string
//           argument is its UTF-8 text with \, tab, CR and LF escaped as \\,
//           \t, \r, \n; a null string reads (null).

#include "platform/com/Com.h"
#include "platform/com/OleAuto.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fake_tavelo {

// The fake control's library as built.
std::filesystem::path libraryPath();

// Registers (or removes) the library as the server of the control's class in
// the registry below CORVANTIX_ROOT, through the library's own
// DllRegisterServer (DllUnregisterServer). S_OK on success.
HRESULT registerControl(const std::filesystem::path& library = libraryPath());
HRESULT unregisterControl(const std::filesystem::path& library = libraryPath());

// $CORVANTIX_ROOT/FakeVondelTavelo
std::filesystem::path folder();
void setScript(std::string_view text);

struct Call {
    int object = 0;
    std::string method; // or Create / Destroy
    std::vector<std::string> arguments;
    bool operator==(const Call&) const = default;
};
std::vector<Call> calls();
// Only the method calls, without the Create and Destroy events.
std::vector<Call> methodCalls();
void clearCalls();

// The string arguments of the last method call of this process, as the
// pointers the control received (null ones included), in parameter order.
// Only valid while the fake control is loaded in this process.
std::vector<BSTR> lastTextArguments();

} // namespace fake_tavelo
