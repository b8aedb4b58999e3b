#pragma once

// Every well-known folder of a fuzz run in a private temporary folder
// (removed at exit), with the log writers on at the highest level and their
// lines kept in memory: every line is composed and formatted, but no log
// file is opened and the machine-wide log lock is never taken.
void enterFuzzSandbox();
