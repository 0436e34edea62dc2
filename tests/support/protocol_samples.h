// One datagram of every command of the protocol, in the dispatcher's table
// order, with typical fields: the starting point of the tests that cut,
// corrupt and flood them.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace zalvo::testing {

inline const std::vector<std::string> kEveryCommand = {"ACTION RUN C:\\Games\\cs.exe -game",
                                                       "ACTION PROXY 1 proxy.club PORT 3128",
                                                       "ACTION KILL NOTEPAD",
                                                       "ACTION PROCESS",
                                                       "ACTION SIT 30",
                                                       "ACTION STAND",
                                                       "ACTION SHUTDOWN",
                                                       "ACTION MONITOR OFF",
                                                       "ACTION MONITOR ON",
                                                       "ACTION REBOOT",
                                                       "ACTION INSTALL",
                                                       "ACTION INFO",
                                                       "ACTION INI",
                                                       "ACTION VOLUME 50",
                                                       "ACTION MESSAGE Hi"};

// The commands that match only as the whole datagram; the others match as
// its start and take fields from the rest.
inline const std::set<std::string> kExactCommands = {
    "ACTION STAND",  "ACTION SHUTDOWN", "ACTION MONITOR OFF", "ACTION MONITOR ON",
    "ACTION REBOOT", "ACTION INSTALL",  "ACTION INFO",        "ACTION INI"};

}  // namespace zalvo::testing
