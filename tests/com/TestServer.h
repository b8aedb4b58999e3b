#pragma once

// The test server: a stand-in for the card control that records each call,
// built as an in-process server library and registered in a sandbox.

#include "control/VondelTaveloInterface.h"

// The call the test object received last: its dispatch id and its arguments
// as text, "|" between them (a null string reads "(null)").
inline constexpr IID IID_ITestCallLog = guidLiteral("{5D0C1E7A-93B2-4F61-A8E4-2C7B9D3F0A16}");

struct ITestCallLog : IUnknown {
    virtual HRESULT LastCall(DISPID* dispId, BSTR* arguments) = 0;

protected:
    ~ITestCallLog() = default;
};

// What the test object answers: its dispatch id in a number result,
// "out<dispatch id>" in a text result, and the reader list "A", "B".
