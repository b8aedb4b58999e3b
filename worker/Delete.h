#pragma once

// "-delete <path>": deletes a file (or an empty folder) and then each empty
// folder above it that the path names, each removal tried again for about
// five seconds. The path is taken as written (a Windows one through the
// drive mapping); no link in it is followed.

#include "worker/WorkerContext.h"

#include <string_view>

// The exit code: 0 once the walk has ended, kWorkerFailed when the file
// could not be deleted, kResultBadArgument for no path or one longer than
// 511 characters (nothing is deleted then, the worker included).
int deleteWithRetries(WorkerContext& context, std::string_view argumentText);
