#pragma once

// Every well-known folder of a fuzz run in a private temporary folder
// (removed at exit), with logging switched on at a level that writes no
// lines, so the code behind the log writers' switch runs at full speed.
void enterFuzzSandbox();
