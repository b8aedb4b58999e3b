#pragma once

// GenerateTAC: the card authorises a transaction whose record the page gives
// as a field list, chosen by processing code, after the user has confirmed
// its lines (pulling the card out and putting it back), the same card has
// come back and the PIN has been verified or left to a keypad reader.

#include "control/CardMethods.h"
#include "control/ControlState.h"
#include "control/SecretString.h"

#include <cstdint>

namespace tavelo {

// The method's result: 0 with the TAC and TSN kept in the state, or the code
// of the step that ended it. isFinish is not touched; VerifyPINFlag ends
// with the connection its reconnect replaces.
int RunGenerateTAC(TaveloState& state, const SecretString& pin, std::int32_t processingCode,
                   const OptionalText& genTac, const OptionalText& userData, std::int32_t iFlags);

} // namespace tavelo
