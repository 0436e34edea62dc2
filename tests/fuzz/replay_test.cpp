// Replays every seed of the fuzz corpora and every input that once broke a
// rule (regressions/) through the fuzz targets' entry logic, so that all of
// them run in every native build and not only under libFuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_entries.h"
#include "tests/support/protocol_samples.h"

namespace zalvo::fuzz {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> Inputs(const std::string& folder, const std::string& target) {
  std::vector<fs::path> inputs;
  fs::path dir = fs::path(ZALVO_FUZZ_DATA) / folder / target;
  if (fs::is_directory(dir)) {
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
      if (entry.is_regular_file()) {
        inputs.push_back(entry.path());
      }
    }
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

// Runs every input of the target; returns how many seeds there were.
size_t Replay(const std::string& target, void (*entry)(std::string_view)) {
  size_t seeds = 0;
  for (const char* folder : {"corpus", "regressions"}) {
    for (const fs::path& path : Inputs(folder, target)) {
      std::ifstream in(path, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      SetInputName(path.string());
      entry(bytes);
      seeds += std::string_view(folder) == "corpus" ? 1 : 0;
    }
  }
  SetInputName("");
  return seeds;
}

TEST(FuzzReplay, DispatcherCorpusAndRegressions) {
  EXPECT_GE(Replay("dispatcher", FuzzDispatcher), 20u);
}

TEST(FuzzReplay, SettingsFileCorpusAndRegressions) {
  EXPECT_GE(Replay("settings_file", FuzzSettingsFile), 5u);
}

TEST(FuzzReplay, Regedit4CorpusAndRegressions) {
  EXPECT_GE(Replay("regedit4", FuzzRegedit4), 3u);
}

TEST(FuzzReplay, ParseInt32CorpusAndRegressions) {
  EXPECT_GE(Replay("parse_int32", FuzzParseInt32), 10u);
}

// The edge inputs of the protocol, run through the dispatcher target's rules
// (an ignored datagram changes nothing, an accepted one is answered with PING
// last, every reply fits a datagram, a saved file loads back as held).
std::string Datagrams(const std::vector<std::string>& datagrams, char options = 1 | 4 | 8) {
  std::string input(1, options);
  for (const std::string& datagram : datagrams) {
    input += "\n--\n";
    input += '\0';  // from the server, no ticks
    input += datagram;
  }
  return input;
}

TEST(FuzzEdges, DatagramsOfEveryEdgeLength) {
  for (size_t size : {1u, 2u, 2047u, 2048u, 2049u, 4096u}) {
    FuzzDispatcher(
        Datagrams({"ACTION KILL " + std::string(size > 12 ? size - 12 : 0, 'k'),
                   std::string(size, 'A'), std::string(size, '\xFF'), std::string(size, '\0')}));
  }
  // A receive of 0 bytes and failed receives, from the server and elsewhere.
  std::string input = Datagrams({});
  for (char control : {'\6', '\7', '\x47', '\5', '\x25'}) {
    input += "\n--\n";
    input += control;
    input += "ACTION SIT 30";
  }
  FuzzDispatcher(input);
}

TEST(FuzzEdges, EveryCommandCutShortAndWithZeroOrFfBytesAnywhere) {
  for (const std::string& command : testing::kEveryCommand) {
    std::vector<std::string> variants;
    for (size_t cut = 1; cut <= command.size(); ++cut) {
      variants.push_back(command.substr(0, cut));
    }
    for (size_t at = 0; at < command.size(); ++at) {
      for (char byte : {'\0', '\xFF'}) {
        std::string changed = command;
        changed[at] = byte;
        variants.push_back(changed);
        variants.push_back(command.substr(0, at) + byte + command.substr(at));
      }
    }
    FuzzDispatcher(Datagrams(variants));
  }
}

TEST(FuzzEdges, NumbersAtThe32BitLimitsAndPortAtEveryPosition) {
  std::vector<std::string> variants;
  for (const char* number :
       {"2147483647", "-2147483648", "2147483648", "-2147483649", "$7FFFFFFF", "$80000000",
        "0x7fffffff", "-0x80000000", "35791394", "35791395", "-35791395", "99999999999999999999"}) {
    variants.push_back(std::string("ACTION SIT ") + number);
    variants.push_back(std::string("ACTION VOLUME ") + number);
  }
  const std::string proxy = "ACTION PROXY 1 proxy.club 8080";
  for (size_t at = 0; at <= proxy.size(); ++at) {
    variants.push_back(proxy.substr(0, at) + "PORT" + proxy.substr(at));
    variants.push_back(proxy.substr(0, at) + " PORT " + proxy.substr(at));
  }
  variants.push_back("ACTION STAND");
  FuzzDispatcher(Datagrams(variants));
}

TEST(FuzzEdges, SettingsFilesOfEveryBadShape) {
  using namespace std::string_literals;
  std::string binary;
  for (int i = 0; i < 256; ++i) {
    binary += static_cast<char>(i);
  }
  std::string duplicates;
  for (int i = 0; i < 10000; ++i) {
    duplicates += i % 2 == 0 ? "Beep=1\r\n" : "beep=0\r\n";
  }
  std::string huge_line = "StartPage=" + std::string(1 << 20, 'x');
  for (const std::string& file :
       {std::string(), binary, binary + binary, huge_line, std::string("ServerIP=10.0.0.1"),
        "Beep=1\r\nServerIP=10.0.0.1\0\r\nFreeDisk=1\r\n"s, duplicates, std::string(5000, '\n'),
        std::string(5000, '='), std::string(3000, '\r')}) {
    FuzzSettingsFile(file);
  }
}

}  // namespace
}  // namespace zalvo::fuzz
