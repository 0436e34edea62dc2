// The whole agent, dispatcher and tick, over an in-memory station: the real
// station agent on a memory registry, a memory Windows directory, a fake
// desktop and a memory mixer, with every reply recorded.
//
// Input layout (records separated by the four bytes "\n--\n"):
//   byte 0       the station: bit 0 krvini.ini exists, bit 1 its writes are
//                refused, bit 2 a mixer, bit 3 the Windows log-on key exists,
//                bit 4 the marker ZalvoLogon starts as "0", bit 5 more windows
//                than one reply can list, bit 6 the account holds no
//                privileges, bit 7 the free space of C: can't be read
//   record 0     lines put before "ServerIP=10.0.0.1" in krvini.ini
//   record 1...  one datagram each: a control byte, then the datagram's bytes.
//                Control bits 0-2: 0-4 from the server address, 5 from
//                10.0.0.99, 6 a receive of 0 bytes, 7 a failed receive (a
//                count of -1, or the least 32-bit integer with bit 6); bits
//                3-4: 0, 1, 7 or 100 ticks after it; bit 5: the endpoint's
//                buffer holds more bytes than the datagram's count; bit 7:
//                the station has a command key, and bits 0-2 say what
//                reaches its gate: 0 the datagram in a sound envelope, 1 the
//                same 61 s old, 2 sealed for another station, 3 the last
//                sealed datagram again (a replay; sound when it is the
//                first), 4 the bytes as they are (the envelope parser's own
//                input), 5 a sound envelope from 10.0.0.99, 6 a sound
//                envelope cut after as many bytes as the datagram has, 7
//                sealed as a reply.
// A datagram longer than the endpoint's 2048-byte buffer arrives as a failed
// receive, as the endpoint reports it.
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "agent/assembly.h"
#include "agent/command.h"
#include "agent/command_dispatcher.h"
#include "agent/command_gate.h"
#include "platform/datagram_socket.h"
#include "platform/error.h"
#include "protocol/envelope.h"
#include "settings/keys.h"
#include "settings/registry_names.h"
#include "settings/station_settings.h"
#include "tests/fuzz/fuzz_entries.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/memory_registry.h"

namespace zalvo::fuzz {
namespace {

using settings::Key;
using settings::KeyTable;

constexpr std::string_view kSeparator = "\n--\n";
constexpr std::string_view kServer = "10.0.0.1";
constexpr std::string_view kStranger = "10.0.0.99";
// The keyed station's address and clock.
constexpr std::string_view kStationAddress = "10.0.0.5";
constexpr int64_t kNow = 1'800'000'000;
const protocol::CommandKey kFuzzKey = [] {
  protocol::CommandKey key{};
  for (size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<uint8_t>(i + 1);
  }
  return key;
}();

// Network-order address of a dotted one, as the endpoint reports senders.
uint32_t NetworkOrder(std::string_view dotted) {
  uint32_t address = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&address);
  size_t part = 0;
  for (char c : dotted) {
    if (c == '.') {
      ++part;
    } else {
      bytes[part] = static_cast<unsigned char>(bytes[part] * 10 + (c - '0'));
    }
  }
  return address;
}

class MemoryFiles final : public platform::StationFiles {
 public:
  std::map<std::string, std::string, std::less<>> files;
  bool refuse_writes = false;
  int writes = 0;

  std::string WindowsDirectory() override { return "C:\\WINDOWS"; }
  std::string Read(std::string_view path) override {
    auto found = files.find(path);
    if (found == files.end()) {
      throw platform::PlatformError("no file " + std::string(path));
    }
    return found->second;
  }
  void Replace(std::string_view path, std::string_view bytes) override {
    if (refuse_writes) {
      throw platform::PlatformError("disk full");
    }
    ++writes;
    files[std::string(path)] = std::string(bytes);
  }
  bool Remove(std::string_view path) override { return files.erase(std::string(path)) > 0; }
};

class MemoryMixer final : public platform::Mixer {
 public:
  platform::StereoLevels levels{30000, 30000};
  bool muted = false;
  int writes = 0;

  platform::SpeakerControls OpenSpeakerControls() override { return {true, true}; }
  void SetVolumeLevels(platform::StereoLevels l) override {
    Check(l.left <= platform::kMaxMixerLevel && l.right <= platform::kMaxMixerLevel,
          "mixer levels stay within full scale");
    ++writes;
    levels = l;
  }
  platform::StereoLevels VolumeLevels() override { return levels; }
  void SetMute(bool on) override {
    ++writes;
    muted = on;
  }
};

class RecordedReplies final : public agent::Replies {
 public:
  std::vector<std::string> sent;
  // The keyed station's gate, which seals every reply.
  agent::CommandGate* gate = nullptr;
  void SendText(const agent::ReplyContext& to, const std::string& text) override {
    Check(text.size() <= Room(), "every reply fits its room");
    if (gate != nullptr) {
      std::string sealed = gate->Seal(text, to.nonce);
      Check(sealed.size() <= platform::kMaxDatagram, "every sealed reply fits one datagram");
      protocol::Opened opened = protocol::Open(sealed, protocol::Direction::kReply, kFuzzKey,
                                               kStationAddress, protocol::UnixNow());
      Check(opened.verdict == protocol::Verdict::kOk && opened.text == text,
            "a sealed reply opens to its text");
    }
    sent.push_back(text);
  }
  size_t Room() const override {
    return gate != nullptr ? gate->ReplyRoom() : platform::kMaxDatagram;
  }
};

// Everything a datagram could change, to compare before and after.
struct Snapshot {
  bool session_active;
  int32_t remaining_seconds;
  std::string last_caption;
  int32_t periods[4];
  std::vector<std::string> settings;
  std::vector<std::string> window_list;
  size_t replies, desktop_actions, registry_writes;
  int file_writes, mixer_writes;

  bool operator==(const Snapshot&) const = default;
};

std::vector<std::string> SettingsLines(const settings::StationSettings& s) {
  std::vector<std::string> lines;
  for (const settings::KeyInfo& info : KeyTable()) {
    lines.push_back((s.Flag(info.key) ? "1" : "0") + s.Text(info.key));
  }
  return lines;
}

std::vector<std::string_view> Records(std::string_view input) {
  std::vector<std::string_view> records;
  while (true) {
    size_t at = input.find(kSeparator);
    if (at == std::string_view::npos) {
      records.push_back(input);
      return records;
    }
    records.push_back(input.substr(0, at));
    input.remove_prefix(at + kSeparator.size());
  }
}

bool HoldsLineBreakOrZero(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

class Station {
 public:
  explicit Station(uint8_t options)
      : agent_(std::make_unique<agent::AssembledAgent>(
            replies,
            agent::StationParts{registry, files, desktop, (options & 4) ? &mixer : nullptr},
            agent::AgentWiring{protocol::KeyText{kFuzzKey, std::string(kStationAddress)}, nullptr,
                               [this](std::string_view line) { logged += line.size(); }})) {
    files.refuse_writes = (options & 2) != 0;
    if ((options & 8) != 0) {
      std::string winlogon = "HKLM\\" + std::string(settings::kWinlogonKey);
      registry.AddKey(winlogon);
      registry.SetString(winlogon, std::string(settings::kZalvoLogon),
                         (options & 16) != 0 ? "0" : "1");
    }
    desktop.windows = {
        {0x10010, 100, "Program Manager"},
        {0x10020, 200, "\xCE\xF1\xF2\xE0\xE2\xE0\xF9\xEE \xE2\xF0\xE5\xEC\xE5"},
        {0x10030, 300, "My \"Game\", v2"},
        {0x10040, 400, ""},
        {0x10050, 500, std::string(300, 'w')},
    };
    if ((options & 32) != 0) {
      for (uint32_t i = 0; i < 60; ++i) {
        desktop.windows.push_back(
            {0x20000 + i, 1000 + i, "Window " + std::string(60, static_cast<char>('a' + i % 26))});
      }
    }
    desktop.foreground = 0x10020;
    if ((options & 64) != 0) {
      desktop.privileges = std::set<std::string>{};
    }
    if ((options & 128) != 0) {
      desktop.free_bytes = std::nullopt;
    }
  }

  std::string SettingsPath() const { return "C:\\WINDOWS\\krvini.ini"; }

  Snapshot Take() const {
    return {state.session_active,
            state.remaining_seconds,
            state.last_caption,
            {state.check_period, state.report_period, state.grace_seconds, state.tick_counter},
            SettingsLines(state.settings),
            state.window_list,
            replies.sent.size(),
            desktop.actions.size(),
            registry.writes().size(),
            files.writes,
            mixer.writes};
  }

  void Tick() {
    agent_->dispatcher.Tick(replies.gate != nullptr ? gate.Reports() : open_gate.Reports());
    Check(state.tick_counter >= 1 && state.tick_counter <= 99, "the tick counter stays in 1..99");
  }

  // A file the agent wrote loads back as the settings it holds. Only number
  // texts still empty from before any load read back as their defaults.
  void CheckSavedFile() const {
    if (files.writes == 0) {
      return;  // only the agent's own saves
    }
    auto found = files.files.find(SettingsPath());
    if (found == files.files.end()) {
      return;
    }
    settings::AgentLoad load = settings::ParseAgentSettings(found->second);
    for (const settings::KeyInfo& info : KeyTable()) {
      if (info.key == Key::SearchPage || info.key == Key::PlayMusic) {
        continue;
      }
      Check(load.settings.Flag(info.key) == state.settings.Flag(info.key),
            "a saved flag loads back as it was held");
      if (info.kind == settings::Kind::Number && state.settings.Text(info.key).empty()) {
        continue;
      }
      Check(load.settings.Text(info.key) == state.settings.Text(info.key),
            "a saved text loads back as it was held");
    }
  }

  void Receive(uint8_t control, std::string_view datagram) {
    if ((control & 128) != 0) {
      ReceiveKeyed(control, datagram);
      return;
    }
    std::string buffer(datagram);
    if ((control & 32) != 0) {
      buffer += "JUNK";
    }
    auto count = static_cast<int32_t>(datagram.size());
    std::string_view from = kServer;
    switch (control & 7) {
      case 5:
        from = kStranger;
        break;
      case 6:
        count = 0;
        break;
      case 7:
        count = (control & 64) != 0 ? INT32_MIN : -1;
        break;
      default:
        break;
    }
    if (datagram.size() > platform::kMaxDatagram) {
      count = -1;  // the endpoint's buffer can't hold it
    }
    platform::ReceivedDatagram received;
    received.byte_count = count;
    received.bytes = buffer;
    received.from_ip = std::string(from);
    received.from_address = NetworkOrder(from);
    received.from_port = 6767;
    const bool accepted = count > 0 && from == state.settings.Text(Key::ServerIP);
    // The gate of a station without a key, on the server of the settings.
    open_gate.SetServer(state.settings.Text(Key::ServerIP));
    Dispatch(control, datagram, accepted, [&] {
      auto admitted = open_gate.Admit(received, kNow);
      Check(admitted.has_value() == accepted,
            "the gate admits exactly the server's datagrams of at least one byte");
      if (admitted) {
        agent_->dispatcher.DataReceived(admitted->command, admitted->reply);
      }
    });
  }

  // The datagram through the keyed station's gate, as the receive loop
  // hands it on.
  void ReceiveKeyed(uint8_t control, std::string_view datagram) {
    auto seal = [&](protocol::Direction direction, int64_t time, std::string_view station) {
      std::string nonce = std::to_string(++nonces_);
      nonce.insert(0, protocol::kNonceDigits - nonce.size(), '0');
      return protocol::Seal(direction, datagram, kFuzzKey, station, time, nonce);
    };
    std::string wire;
    std::string_view from = kServer;
    bool sound = false;
    const auto command = protocol::Direction::kCommand;
    switch (control & 7) {
      case 0:
        wire = seal(command, kNow, kStationAddress);
        sound = true;
        break;
      case 1:
        wire = seal(command, kNow - 61, kStationAddress);
        break;
      case 2:
        wire = seal(command, kNow, "10.0.0.6");
        break;
      case 3:
        sound = last_sealed_.empty();
        wire = sound ? seal(command, kNow, kStationAddress) : last_sealed_;
        break;
      case 4:
        wire = std::string(datagram);
        break;
      case 5:
        // Sound, from another address: admitted only when a loaded file
        // made that address the server.
        wire = seal(command, kNow, kStationAddress);
        from = kStranger;
        sound = true;
        break;
      case 6:
        wire = seal(command, kNow, kStationAddress);
        wire.resize(datagram.size() % wire.size());
        break;
      default:
        wire = seal(protocol::Direction::kReply, kNow, kStationAddress);
        break;
    }
    if ((control & 7) == 0 || (control & 7) == 3) {
      last_sealed_ = wire;
    }
    platform::ReceivedDatagram received;
    received.byte_count =
        wire.size() > platform::kMaxDatagram ? -1 : static_cast<int32_t>(wire.size());
    received.bytes = wire;
    received.from_ip = std::string(from);
    received.from_address = NetworkOrder(from);
    received.from_port = 6868;
    // A sound envelope around no command is no command.
    sound = sound && received.byte_count > 0 && state.settings.Text(Key::ServerIP) == from &&
            !datagram.empty();
    auto admitted = gate.Admit(received, kNow);
    if ((control & 7) != 4) {
      Check(admitted.has_value() == sound, "the gate admits exactly the sound envelopes");
    }
    std::string_view inner = admitted ? admitted->command : std::string_view(datagram);
    Dispatch(control, inner, admitted.has_value(), [&] {
      if (admitted) {
        agent_->dispatcher.DataReceived(admitted->command, admitted->reply);
      }
    });
  }

  // Runs the receive and checks what it must and must not have changed,
  // then the ticks of the control byte.
  template <typename F>
  void Dispatch(uint8_t control, std::string_view datagram, bool accepted, F&& receive) {
    const Snapshot before = Take();
    const std::string file_before = FileText();
    receive();
    const Snapshot after = Take();
    if (!accepted) {
      Check(after == before && FileText() == file_before,
            "an ignored datagram gets no reply and changes nothing");
    } else {
      std::vector<std::string> replied(replies.sent.begin() + static_cast<long>(before.replies),
                                       replies.sent.end());
      std::string_view command = datagram;
      bool proxy = command.substr(0, 12) == "ACTION PROXY";
      agent::ProxyFields fields = agent::ParseProxyFields(command);
      bool proxy_fails = proxy && (files.refuse_writes || HoldsLineBreakOrZero(fields.server) ||
                                   HoldsLineBreakOrZero(fields.port));
      if (proxy_fails) {
        Check(replied.empty(), "a failed command is not answered");
      } else {
        Check(!replied.empty() && replied.back() == "PING",
              "an accepted datagram is answered with PING last");
      }
    }
    CheckSavedFile();
    static constexpr int kTicks[] = {0, 1, 7, 100};
    for (int i = 0; i < kTicks[(control >> 3) & 3] && ticks_ < kMostTicks; ++i, ++ticks_) {
      Tick();
    }
  }

  void Start() { agent_->dispatcher.Startup(); }

  std::string FileText() const {
    auto found = files.files.find(SettingsPath());
    return found == files.files.end() ? std::string() : found->second;
  }

  RecordedReplies replies;
  testing::MemoryRegistry registry;
  MemoryFiles files;
  testing::FakeDesktop desktop;
  MemoryMixer mixer;
  size_t logged = 0;

 private:
  // The keyed station as zalvos assembles it.
  std::unique_ptr<agent::AssembledAgent> agent_;

 public:
  agent::AgentState& state = agent_->state;
  agent::CommandGate& gate = agent_->gate;
  // The gate of a station without a key.
  agent::CommandGate open_gate;

 private:
  // Ticks run for one input: enough for several keep-alive cycles, few enough
  // to keep the target fast.
  static constexpr int kMostTicks = 300;
  int ticks_ = 0;
  uint64_t nonces_ = 0;
  std::string last_sealed_;
};

}  // namespace

void FuzzDispatcher(std::string_view input) {
  if (input.empty()) {
    return;
  }
  auto options = static_cast<uint8_t>(input[0]);
  std::vector<std::string_view> records = Records(input.substr(1));
  Station station(options);
  if ((options & 1) != 0) {
    std::string file(records[0]);
    file += "\r\nServerIP=";
    file += kServer;
    file += "\r\n";
    station.files.files[station.SettingsPath()] = file;
  }
  station.Start();
  if ((options & 1) == 0) {
    // No file: the agent keeps its initial settings and so has no server;
    // give it one so that datagrams reach the commands.
    station.state.settings.SetText(Key::ServerIP, std::string(kServer));
    station.gate.SetServer(kServer);
    station.open_gate.SetServer(kServer);
  }
  for (size_t i = 1; i < records.size(); ++i) {
    std::string_view record = records[i];
    if (record.empty()) {
      continue;
    }
    if ((static_cast<uint8_t>(record[0]) & 128) != 0) {
      station.replies.gate = &station.gate;  // a keyed station from its first keyed datagram
    }
    station.Receive(static_cast<uint8_t>(record[0]), record.substr(1));
  }
}

}  // namespace zalvo::fuzz
