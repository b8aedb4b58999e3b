#pragma once

// Late binding of IVondelTaveloATL: one table of its methods (dispatch id,
// name, parameter names, which argument may be left out) whose entries call
// the methods through the interface's own function table, so a caller by
// name reaches exactly what an early-bound caller reaches.

#include "control/VondelTaveloInterface.h"

#include <string_view>
#include <vector>

namespace tavelo {

struct TaveloDispatchEntry {
    DISPID id;
    std::string_view name;
    std::vector<std::string_view> parameters; // without the result
    bool lastOptional;                        // left out, it counts as 0
    // Calls the method with the arguments in parameter order (null for a
    // left-out one); argumentError receives the index of a refused one.
    HRESULT(*call)
    (IVondelTaveloATL* self, const std::vector<const VARIANT*>& arguments, VARIANT* result,
     std::uint32_t* argumentError);
};

// In dispatch-id order.
const std::vector<TaveloDispatchEntry>& taveloDispatchTable();

// Names (case-insensitive): the first a method, the rest its parameters,
// whose ids are their places from 0. DISP_E_UNKNOWNNAME (with -1 for each
// unknown name) when any is unknown.
HRESULT taveloGetIDsOfNames(OLECHAR** names, std::uint32_t count, DISPID* dispIds);

// A method call by dispatch id, positional arguments in rgvarg from last to
// first; the result as VT_I4, VT_BSTR or the method's VARIANT.
HRESULT taveloInvoke(IVondelTaveloATL* self, DISPID dispId, std::uint16_t flags, DISPPARAMS* params,
                     VARIANT* result, std::uint32_t* argumentError);

} // namespace tavelo
