#pragma once

// The service's and the adapter's result codes: the decimal text of a
// reply's "result" and of the adapter's answers. Each code once; a code with
// several causes names them all.

enum ServiceResultCode : int {
    kResultSuccess = 0,
    // No TLS information on the connection; a stored value that cannot be
    // enciphered or deciphered; a version comparison without a version.
    kResultNotAvailable = 61001,
    // A number conversion: not a number or out of range.
    kResultNotNumber = 61003,
    // A number conversion without text.
    kResultNoText = 61004,
    // A value-store call without its keys, with a negative timeout or an
    // over-long domain list; no or an unknown function name in the adapter;
    // an empty version component; the worker's wrong argument count.
    kResultBadArgument = 61005,
    // A new session outside the path table, or without folder or component.
    kResultPathRefused = 61009,
    // A COM error while calling the card control.
    kResultComError = 61011,
    // No origin and no usable referer.
    kResultNoOrigin = 61012,
    // A key missing while "AdapterJsonKeyCheck" is "true".
    kResultKeyMissing = 61016,
    // The value store is full.
    kResultStoreFull = 61019,
    // The service or the adapter is older than the page's minimum.
    kResultServerTooOld = 61203,
    kResultAdapterTooOld = 61204,
    // Neither the adapter's copy nor the installed file could be loaded.
    kResultLoadFailed = 61902,
    // A "Host" other than localhost or 127.0.0.1 with a port.
    kResultNotLocalhost = 61904,
    // The card control could not be created.
    kResultNoControl = 61905,
    // The adapter exports neither entry point.
    kResultNoEntryPoint = 61906,
    // The adapter copy is not unlocked, refused the unlock, or the session
    // belongs to another page origin.
    kResultNotUnlocked = 61908,
};
