// The entry logic of the fuzz targets. Each function takes one input of any
// bytes, drives one part of the system with it and checks the rules that
// must hold whatever the input. A broken rule aborts with a message naming
// the rule, so libFuzzer keeps the input and the replay test fails on it.
// The libFuzzer targets and the GoogleTest replay of the corpora both call
// these functions.
#pragma once

#include <string_view>

namespace zalvo::fuzz {

// The whole agent over an in-memory station: a settings file, then
// datagrams from the server or from elsewhere, each followed by some ticks.
// The input's layout is described in dispatcher_entry.cpp.
void FuzzDispatcher(std::string_view input);

// The settings-file reader and the agent's load and save.
void FuzzSettingsFile(std::string_view input);

// The simulated station's REGEDIT4 reader and writer.
void FuzzRegedit4(std::string_view input);

// The integer parse against an independent reading of its rules.
void FuzzParseInt32(std::string_view input);

// Aborts with the rule's text when the rule is broken.
void Check(bool holds, const char* rule);

// The name of the input being run, shown when a rule is broken (the replay
// test sets it; libFuzzer names the input itself).
void SetInputName(std::string_view name);

}  // namespace zalvo::fuzz
