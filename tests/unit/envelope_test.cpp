// The signed envelope: the system's HMAC (and the PBKDF2 of the stored
// passwords) against the published vectors, the station key's derivation
// against the protocol document, the codec's refusals, the clock window, the
// replay cache, the key texts and the command gate in front of the dispatcher
// with its replay mark. Runs natively and under Wine, so that both libcrypto
// and BCrypt are checked.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "agent/command_gate.h"
#include "agent/command_key_store.h"
#include "platform/crypto.h"
#include "platform/error.h"
#include "protocol/address.h"
#include "protocol/envelope.h"
#include "protocol/key_file.h"
#include "tests/support/memory_registry.h"

namespace zalvo::protocol {
namespace {

std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  for (uint8_t b : bytes) {
    text += "0123456789abcdef"[b >> 4];
    text += "0123456789abcdef"[b & 15];
  }
  return text;
}

std::vector<uint8_t> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

TEST(HmacSha256, MatchesTheRfc4231Vectors) {
  // Test cases 1, 2 and 6 (a key longer than the hash's block).
  EXPECT_EQ(Hex(platform::HmacSha256(std::vector<uint8_t>(20, 0x0b), "Hi There")),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(Hex(platform::HmacSha256(Bytes("Jefe"), "what do ya want for nothing?")),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(Hex(platform::HmacSha256(std::vector<uint8_t>(131, 0xaa),
                                     "Test Using Larger Than Block-Size Key - Hash Key First")),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
  // The keyed state computed once gives the same MACs, message after
  // message, whatever the parts.
  platform::HmacSha256Key keyed(Bytes("Jefe"));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Hex(keyed.Mac({"what do ya", "", " want for nothing?"})),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(keyed.Mac({"Hi There"}), platform::HmacSha256(Bytes("Jefe"), "Hi There"));
  }
  platform::HmacSha256Key long_key(std::vector<uint8_t>(131, 0xaa));
  EXPECT_EQ(Hex(long_key.Mac({"Test Using Larger Than Block-Size Key - Hash Key First"})),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
  std::array<uint8_t, 16> a{}, b{};
  platform::RandomBytes(a);
  platform::RandomBytes(b);
  EXPECT_NE(a, b);
}

TEST(Pbkdf2Sha256, MatchesTheKnownVectorsAndComparesOnlyEqualBytesAsEqual) {
  // RFC 6070's inputs with SHA-256, and RFC 7914's first PBKDF2 vector (its
  // first 32 bytes); a Windows-1251 password with a salt holding zeros.
  const std::vector<uint8_t> salt = Bytes("salt");
  EXPECT_EQ(Hex(platform::Pbkdf2Sha256("password", salt, 1)),
            "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
  EXPECT_EQ(Hex(platform::Pbkdf2Sha256("password", salt, 2)),
            "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43");
  EXPECT_EQ(Hex(platform::Pbkdf2Sha256("password", salt, 4096)),
            "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
  EXPECT_EQ(Hex(platform::Pbkdf2Sha256("passwd", salt, 1)),
            "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc");
  const std::vector<uint8_t> binary_salt = {0, 1, 2};
  EXPECT_EQ(Hex(platform::Pbkdf2Sha256("\xE0\xE4\xEC\xE8\xED", binary_salt, 1000)),
            "ea0742342083e9819b181dfeccab820107583a8d01924de36c80151f649788e3");
  EXPECT_THROW((void)platform::Pbkdf2Sha256("password", salt, 0), platform::PlatformError);
  const std::vector<uint8_t> x = Bytes("abcd");
  EXPECT_TRUE(platform::EqualInConstantTime(x, Bytes("abcd")));
  EXPECT_FALSE(platform::EqualInConstantTime(x, Bytes("abce")));
  EXPECT_FALSE(platform::EqualInConstantTime(x, Bytes("abc")));
}

// The value of a row "| name | `value` |" of docs/protocol.md's worked
// examples.
std::string DocumentRow(const std::string& name) {
  std::ifstream file(ZALVO_DOCS "/protocol.md", std::ios::binary);
  std::stringstream document;
  document << file.rdbuf();
  const std::string text = document.str();
  size_t at = text.find("| " + name + " | `");
  if (at == std::string::npos) {
    return "row '" + name + "' missing from " ZALVO_DOCS "/protocol.md";
  }
  at = text.find('`', at) + 1;
  return text.substr(at, text.find('`', at) - at);
}

// The worked example of docs/protocol.md, read from its table: the station
// key derived from the club key and the address, and the HMAC's message.
TEST(StationKey, DerivesTheWorkedExampleOfTheProtocolDocument) {
  auto row = DocumentRow;
  const KeyText club = ParseKeyText(row("club key"));
  const std::string address = row("station address");
  ASSERT_TRUE(ParseDottedAddress(address)) << address;
  EXPECT_EQ(Hex(Bytes(std::string(kStationKeyLabel) + "\n" + address)), row("HMAC message (hex)"));
  EXPECT_EQ(KeyHex(DeriveStationKey(club.key, address)), row("station key"));
  // Another address, another key; a station key is never the club key.
  EXPECT_NE(DeriveStationKey(club.key, "192.168.1.22"), DeriveStationKey(club.key, address));
  EXPECT_NE(DeriveStationKey(club.key, address), club.key);
  // The stations that still keep the club key get it.
  const ClubKeyedStations some = ClubKeyedStations::Parse("192.168.1.30, 192.168.1.31");
  EXPECT_EQ(KeyForStation(club.key, some, "192.168.1.31"), club.key);
  EXPECT_EQ(KeyForStation(club.key, some, address), DeriveStationKey(club.key, address));
  EXPECT_EQ(KeyForStation(club.key, ClubKeyedStations::Parse("all"), address), club.key);
  EXPECT_THROW((void)ClubKeyedStations::Parse("192.168.1.030"), KeyFileError);
  EXPECT_THROW((void)ClubKeyedStations::Parse("pc21"), KeyFileError);
}

// The document's signed command and its reply: the MAC's message, the MAC
// and the datagram, sealed and opened with the station key of its first
// example.
TEST(Envelope, SealsTheWorkedExampleOfTheProtocolDocument) {
  const CommandKey station_key = ParseKeyText(DocumentRow("station key")).key;
  const std::string address = DocumentRow("station address");
  EnvelopeKey key(station_key);
  const std::pair<std::string, Direction> kinds[] = {{"command", Direction::kCommand},
                                                     {"reply", Direction::kReply}};
  for (const auto& [who, direction] : kinds) {
    const std::string datagram = DocumentRow(who + " datagram");
    std::optional<EnvelopeFields> fields = ParseEnvelope(datagram);
    ASSERT_TRUE(fields) << datagram;
    EXPECT_EQ(fields->text, DocumentRow(who + " text"));
    const std::string message = std::string(kEnvelopeVersion) + "\n" +
                                static_cast<char>(direction) + "\n" +
                                std::string(fields->time_text) + "\n" + std::string(fields->nonce) +
                                "\n" + address + "\n" + std::string(fields->text);
    EXPECT_EQ(Hex(Bytes(message)), DocumentRow(who + " MAC message (hex)"));
    EXPECT_EQ(Hex(key.Mac(direction, fields->time_text, fields->nonce, address, fields->text)),
              DocumentRow(who + " MAC"));
    EXPECT_EQ(Seal(direction, fields->text, key, address, fields->time, fields->nonce), datagram);
    Opened opened = Open(datagram, direction, key, address, fields->time);
    EXPECT_EQ(opened.verdict, Verdict::kOk) << who;
  }
  // The reply answers the command: it carries the command's nonce.
  EXPECT_EQ(ParseEnvelope(DocumentRow("reply datagram"))->nonce,
            ParseEnvelope(DocumentRow("command datagram"))->nonce);
}

constexpr int64_t kNow = 1'800'000'000;
const CommandKey kKey = [] {
  CommandKey key{};
  for (size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<uint8_t>(i * 7 + 1);
  }
  return key;
}();
const std::string kNonce = "00112233445566778899aabbccddeeff";
constexpr std::string_view kStation = "192.168.0.21";

TEST(Envelope, OpensOnlyWhatWasSealedForThisStationKeyDirectionAndTime) {
  std::string sealed = Seal(Direction::kCommand, "ACTION SIT 30", kKey, kStation, kNow, kNonce);
  EXPECT_EQ(sealed.rfind("Z1 1800000000 " + kNonce + " ", 0), 0u);
  EXPECT_EQ(sealed.substr(sealed.size() - 14), " ACTION SIT 30");
  Opened opened = Open(sealed, Direction::kCommand, kKey, kStation, kNow);
  ASSERT_EQ(opened.verdict, Verdict::kOk);
  EXPECT_EQ(opened.text, "ACTION SIT 30");
  EXPECT_EQ(opened.nonce, kNonce);

  CommandKey other_key = kKey;
  other_key[31] ^= 1;
  EXPECT_EQ(Open(sealed, Direction::kCommand, other_key, kStation, kNow).verdict, Verdict::kBadMac);
  EXPECT_EQ(Open(sealed, Direction::kCommand, kKey, "192.168.0.22", kNow).verdict,
            Verdict::kBadMac);
  // A station's reply is never a command.
  EXPECT_EQ(Open(Seal(Direction::kReply, "ACTION SIT 30", kKey, kStation, kNow, kNonce),
                 Direction::kCommand, kKey, kStation, kNow)
                .verdict,
            Verdict::kBadMac);
  std::string changed = sealed;
  changed.back() = '1';
  EXPECT_EQ(Open(changed, Direction::kCommand, kKey, kStation, kNow).verdict, Verdict::kBadMac);

  // The window's edges, both ways.
  EXPECT_EQ(Open(sealed, Direction::kCommand, kKey, kStation, kNow + 60).verdict, Verdict::kOk);
  EXPECT_EQ(Open(sealed, Direction::kCommand, kKey, kStation, kNow - 60).verdict, Verdict::kOk);
  EXPECT_EQ(Open(sealed, Direction::kCommand, kKey, kStation, kNow + 61).verdict,
            Verdict::kOutsideWindow);
  EXPECT_EQ(Open(sealed, Direction::kCommand, kKey, kStation, kNow - 61).verdict,
            Verdict::kOutsideWindow);
  // An empty command is a command too; the text keeps every byte.
  std::string odd("ACTION KILL \0\r\n  ", 17);
  EXPECT_EQ(Open(Seal(Direction::kCommand, odd, kKey, kStation, kNow, kNonce), Direction::kCommand,
                 kKey, kStation, kNow)
                .text,
            odd);
  EXPECT_EQ(Open(Seal(Direction::kCommand, "", kKey, kStation, kNow, kNonce), Direction::kCommand,
                 kKey, kStation, kNow)
                .verdict,
            Verdict::kOk);
}

TEST(Envelope, RefusesEveryCutAndEveryMalformedField) {
  std::string sealed = Seal(Direction::kCommand, "ACTION INFO", kKey, kStation, kNow, kNonce);
  // Cut before the text's end: malformed up to the blank before the text,
  // a wrong MAC after it.
  for (size_t n = 0; n < sealed.size(); ++n) {
    Verdict v = Open(sealed.substr(0, n), Direction::kCommand, kKey, kStation, kNow).verdict;
    EXPECT_NE(v, Verdict::kOk) << n;
    EXPECT_TRUE(v == Verdict::kMalformed || v == Verdict::kBadMac) << n;
  }
  const std::string mac = sealed.substr(47, 64);
  auto with = [&](const std::string& time, const std::string& nonce, const std::string& m) {
    return "Z1 " + time + " " + nonce + " " + m + " ACTION INFO";
  };
  ASSERT_EQ(with("1800000000", kNonce, mac), sealed);
  std::string upper_mac = mac;
  for (char& c : upper_mac) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  for (const std::string& bad : {
           with("1800000000", kNonce, upper_mac),                    // upper-case hex
           with("1800000000", kNonce, "g" + mac.substr(1)),          // not hex
           with("1800000000", kNonce, mac.substr(1)),                // 63 digits
           with("1800000000", kNonce.substr(2), mac),                // 15-byte nonce
           with("1800000000", kNonce + "00", mac),                   // 17-byte nonce
           with("01800000000", kNonce, mac),                         // leading zero
           with("+1800000000", kNonce, mac),                         // sign
           with("-1", kNonce, mac),                                  //
           with("9223372036854775808", kNonce, mac),                 // 2^63
           with("99999999999999999999", kNonce, mac),                // 20 digits
           with("", kNonce, mac),                                    //
           "Z2" + sealed.substr(2),                                  // another version
           " " + sealed,                                             //
           "Z1  1800000000 " + kNonce + " " + mac + " ACTION INFO",  // two blanks
           std::string("ACTION INFO"),
       }) {
    EXPECT_EQ(Open(bad, Direction::kCommand, kKey, kStation, kNow).verdict, Verdict::kMalformed)
        << bad;
  }
  // The 64-bit limits parse, and are far outside any window.
  for (int64_t time : {int64_t{0}, std::numeric_limits<int64_t>::max()}) {
    std::string edge = Seal(Direction::kCommand, "ACTION INFO", kKey, kStation, time, kNonce);
    EXPECT_EQ(Open(edge, Direction::kCommand, kKey, kStation, kNow).verdict,
              Verdict::kOutsideWindow);
    EXPECT_EQ(Open(edge, Direction::kCommand, kKey, kStation, time).verdict, Verdict::kOk);
    int64_t far = time == 0 ? -61 : std::numeric_limits<int64_t>::min();
    EXPECT_EQ(Open(edge, Direction::kCommand, kKey, kStation, far).verdict,
              Verdict::kOutsideWindow);
  }
}

TEST(ReplayCache, TakesANonceOnceWithin120SecondsAndHoldsABoundedNumber) {
  ReplayCache cache(3);
  EXPECT_EQ(cache.Admit("a", 1000), Verdict::kOk);
  EXPECT_EQ(cache.Admit("a", 1000), Verdict::kReplayed);
  EXPECT_EQ(cache.Admit("a", 1120), Verdict::kReplayed);
  EXPECT_EQ(cache.Admit("b", 1100), Verdict::kOk);
  EXPECT_EQ(cache.Admit("c", 1110), Verdict::kOk);
  // Full: nothing new until the oldest is 121 s old; a clock that went back
  // forgets nothing.
  EXPECT_EQ(cache.Admit("d", 1120), Verdict::kCacheFull);
  EXPECT_EQ(cache.Admit("d", 500), Verdict::kCacheFull);
  EXPECT_EQ(cache.Admit("d", 1121), Verdict::kOk);
  EXPECT_EQ(cache.size(), 3u);
  // Forgotten after 120 s (the clock window refuses its envelope by then).
  EXPECT_EQ(cache.Admit("a", 1231), Verdict::kOk);
  EXPECT_EQ(cache.Admit("d", 1231), Verdict::kReplayed);
  EXPECT_EQ(cache.size(), 2u);
}

TEST(KeyText, TakesEachKindAndTheEarlierFormAndRefusesAnythingElseClearly) {
  const std::string hex(KeyHex(kKey));
  KeyText parsed = ParseKeyText("  " + hex + "\r\n192.168.0.21\r\n\n");
  EXPECT_EQ(parsed.key, kKey);
  EXPECT_EQ(parsed.station_address, "192.168.0.21");
  EXPECT_TRUE(parsed.earlier_form);
  EXPECT_EQ(parsed.kind, KeyKind::kClub);
  // Each kind reads back as written.
  for (const KeyText& key : {KeyText{kKey, "", KeyKind::kClub, false},
                             KeyText{kKey, "10.0.0.21", KeyKind::kStation, false}}) {
    KeyText again = ParseKeyText(KeyFileText(key));
    EXPECT_EQ(again.kind, key.kind);
    EXPECT_EQ(again.key, key.key);
    EXPECT_EQ(again.station_address, key.station_address);
    EXPECT_FALSE(again.earlier_form);
  }
  EXPECT_EQ(KeyFileText({kKey, "10.0.0.21", KeyKind::kStation, false}),
            "zalvo station key\n" + hex + "\n10.0.0.21\n");
  std::string upper = hex;
  for (char& c : upper) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  EXPECT_EQ(ParseKeyText(upper).key, kKey);
  EXPECT_EQ(ParseKeyText(upper).station_address, "");
  auto error = [](const std::string& text) {
    try {
      (void)ParseKeyText(text);
    } catch (const KeyFileError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(error(""), "the key is empty");
  EXPECT_EQ(error(" \r\n\t"), "the key is empty");
  EXPECT_NE(error(hex.substr(0, 62)).find("62 hex digits, not 64"), std::string::npos);
  EXPECT_NE(error(hex + "00").find("66 hex digits"), std::string::npos);
  EXPECT_NE(error("z" + hex.substr(1)).find("not hex"), std::string::npos);
  EXPECT_NE(error(hex + "\n192.168.0.021").find("leading zeros"), std::string::npos);
  EXPECT_NE(error(hex + "\n1.2.3.4\n5.6.7.8").find("more than two lines"), std::string::npos);
  // The kinds: a station key names its station, a club key none.
  EXPECT_NE(error("zalvo station key\n" + hex).find("names no station address"), std::string::npos);
  EXPECT_NE(error("zalvo club key\n" + hex + "\n1.2.3.4").find("no more lines"), std::string::npos);
  EXPECT_NE(error("zalvo club key\n").find("holds no key"), std::string::npos);
  EXPECT_NE(error("zalvo clubkey key\n" + hex).find("neither"), std::string::npos);
  // One byte repeated (all zero among them) is no key.
  EXPECT_NE(error(std::string(64, '0')).find("repeated"), std::string::npos);
  EXPECT_NE(error("zalvo club key\n" + std::string(64, 'E')).find("repeated"), std::string::npos);
  std::string ab;
  for (int i = 0; i < 32; ++i) {
    ab += "ab";
  }
  EXPECT_NE(error(ab).find("repeated"), std::string::npos);
  EXPECT_EQ(error("0" + std::string(63, '1')), "accepted");
}

TEST(DottedAddress, IsFourDecimalNumbersWithoutLeadingZeros) {
  EXPECT_EQ(ParseDottedAddress("192.168.1.10"), (std::array<uint8_t, 4>{192, 168, 1, 10}));
  EXPECT_EQ(ParseDottedAddress("0.0.0.0"), (std::array<uint8_t, 4>{0, 0, 0, 0}));
  for (const char* bad : {"192.168.001.010", "10.1", "1.2.3.4.5", "1.2.3.256", " 1.2.3.4",
                          "1.2.3.4 ", "1..2.3", "0x1.2.3.4", "", "1.2.3.", "1234.1.1.1"}) {
    EXPECT_FALSE(ParseDottedAddress(bad).has_value()) << bad;
  }
}

platform::ReceivedDatagram Datagram(const std::string& bytes, uint32_t from,
                                    const std::string& from_ip) {
  platform::ReceivedDatagram d;
  d.byte_count = static_cast<int32_t>(bytes.size());
  d.bytes = bytes;
  d.from_address = from;
  d.from_ip = from_ip;
  d.from_port = 6868;
  return d;
}

// The gate in front of the dispatcher, as the receive loop uses it.
TEST(CommandGate, AdmitsOnlySoundEnvelopesFromTheServerOnceAndSealsRepliesWithTheirNonce) {
  std::vector<std::string> log;
  agent::CommandGate gate(KeyText{kKey, std::string(kStation)},
                          [&](std::string_view line) { log.emplace_back(line); });
  gate.SetServer("192.168.0.10");
  auto datagram = Datagram;
  const uint32_t server = 192 | 168 << 8 | 0 << 16 | 10u << 24;  // network order
  const uint32_t other = 192 | 168 << 8 | 0 << 16 | 11u << 24;
  int64_t now = UnixNow();
  std::string sealed = Seal(Direction::kCommand, "ACTION INFO", kKey, kStation, now, kNonce);

  EXPECT_FALSE(gate.Admit(datagram(sealed, other, "192.168.0.11"), now));
  EXPECT_FALSE(gate.Admit(datagram("ACTION INFO", server, "192.168.0.10"), now));
  auto first = datagram(sealed, server, "192.168.0.10");
  auto admitted = gate.Admit(first, now);
  ASSERT_TRUE(admitted);
  EXPECT_EQ(admitted->command, "ACTION INFO");
  EXPECT_FALSE(gate.Admit(datagram(sealed, server, "192.168.0.10"), now));  // replayed
  EXPECT_EQ(log, std::vector<std::string>{"datagram from 192.168.0.11:6868 ignored"});
  gate.EndTick();
  EXPECT_EQ(log.back(), "2 more datagrams ignored (1 unsigned, 1 nonce seen before)");
  EXPECT_FALSE(gate.Admit(datagram(sealed, server, "192.168.0.10"), now));
  EXPECT_EQ(log.back(), "datagram from 192.168.0.10:6868 ignored: nonce seen before");

  // The replies go back to the sender with the command's nonce.
  EXPECT_EQ(admitted->reply.server, server);
  EXPECT_EQ(admitted->reply.server_ip, "192.168.0.10");
  const std::string sealed_reply = gate.Seal("PING", admitted->reply.nonce);
  Opened reply = OpenReply(sealed_reply, kKey, kStation, kNonce);
  EXPECT_EQ(reply.verdict, Verdict::kOk);
  EXPECT_EQ(reply.text, "PING");
  // A report of the station's own: sound, but no answer to the command.
  const agent::ReplyContext reports = gate.Reports();
  EXPECT_EQ(reports.server, server);
  EXPECT_TRUE(reports.nonce.empty());
  EXPECT_EQ(OpenReply(gate.Seal("PING", reports.nonce), kKey, kStation, kNonce).verdict,
            Verdict::kOtherNonce);
  EXPECT_EQ(gate.ReplyRoom() + kEnvelopeOverhead, platform::kMaxDatagram);
  // A sound envelope around no command is no command.
  gate.EndTick();
  EXPECT_FALSE(gate.Admit(datagram(Seal(Direction::kCommand, "", kKey, kStation, now, NewNonce()),
                                   server, "192.168.0.10"),
                          now));
  EXPECT_EQ(log.back(), "datagram from 192.168.0.10:6868 ignored: the envelope holds no command");

  // Without a key: the sender only, exactly as the settings write it, at
  // least one byte, and replies as they are.
  agent::CommandGate open_gate;
  open_gate.SetServer("192.168.000.10");  // never a sender's form
  EXPECT_FALSE(open_gate.Admit(datagram("ACTION INFO", server, "192.168.0.10"), now));
  EXPECT_EQ(open_gate.Reports().server, 0u);
  open_gate.SetServer("192.168.0.10");
  EXPECT_TRUE(open_gate.Admit(datagram("ACTION INFO", server, "192.168.0.10"), now));
  for (int32_t count : {0, -1}) {
    auto failed = datagram("", server, "192.168.0.10");
    failed.byte_count = count;
    EXPECT_FALSE(open_gate.Admit(failed, now)) << count;
  }
  EXPECT_EQ(open_gate.Seal("PING", {}), "PING");
  EXPECT_THROW(agent::CommandGate(KeyText{kKey, ""}), KeyFileError);
}

// The replay mark: stored before a command that may restart Windows acts,
// read by the next start, which then refuses what came before; while it
// runs, a clock set back replays nothing older than the mark less 60 s.
TEST(CommandGate, KeepsTheNewestCommandTimeAcrossARestartAndRefusesWhatIsNotNewer) {
  const uint32_t server = 10 | 0 << 8 | 0 << 16 | 1u << 24;  // 10.0.0.1, network order
  const KeyText key{kKey, "10.0.0.21", KeyKind::kStation, false};
  const std::string mark_path = "HKLM\\" + std::string(agent::kCommandKeyPath);
  testing::MemoryRegistry registry;
  std::vector<std::string> log;
  auto gate_of = [&](testing::MemoryRegistry& store) {
    auto gate = std::make_unique<agent::CommandGate>(
        key, [&](std::string_view line) { log.emplace_back(line); }, &store);
    gate->SetServer("10.0.0.1");
    return gate;
  };
  auto sealed = [&](const std::string& command, int64_t time) {
    return Datagram(Seal(Direction::kCommand, command, kKey, "10.0.0.21", time, NewNonce()), server,
                    "10.0.0.1");
  };
  auto takes = [](agent::CommandGate& gate, const platform::ReceivedDatagram& d, int64_t now) {
    return gate.Admit(d, now).has_value();
  };

  auto first = gate_of(registry);
  const auto reboot = sealed("ACTION REBOOT", kNow);
  ASSERT_TRUE(takes(*first, reboot, kNow));
  EXPECT_TRUE(first->KeepMark(true));
  EXPECT_EQ(registry.String(mark_path, "NewestCommandTime"), "1800000000");
  // Within a second of the last store only a restarting command stores.
  ASSERT_TRUE(takes(*first, sealed("ACTION INFO", kNow + 1), kNow + 1));
  EXPECT_TRUE(first->KeepMark(false));
  EXPECT_EQ(registry.String(mark_path, "NewestCommandTime"), "1800000000");
  // While it runs: inside the clock window, but 61 s older than the newest.
  EXPECT_FALSE(takes(*first, sealed("ACTION INFO", kNow - 60), kNow));
  EXPECT_TRUE(takes(*first, sealed("ACTION INFO", kNow - 59), kNow));
  EXPECT_TRUE(first->KeepMark(true));
  EXPECT_EQ(registry.String(mark_path, "NewestCommandTime"), "1800000001");

  // The next start, its replay cache empty: nothing up to the mark plus a
  // second acts, the same command newer does; nor after the clock was set
  // back an hour.
  log.clear();
  auto second = gate_of(registry);
  EXPECT_EQ(log, std::vector<std::string>{
                     "replay mark 1800000001: commands must be newer than 1800000002"});
  EXPECT_FALSE(takes(*second, reboot, kNow + 5));
  EXPECT_NE(log.back().find("not newer than the replay mark (its time 1800000000"),
            std::string::npos)
      << log.back();
  second->EndTick();
  EXPECT_FALSE(takes(*second, sealed("ACTION REBOOT", kNow + 2), kNow + 5));
  EXPECT_FALSE(takes(*second, sealed("ACTION REBOOT", kNow - 3600), kNow - 3600));
  second->EndTick();
  EXPECT_EQ(log.back(), "1 more datagrams ignored (1 not newer than the replay mark)");
  EXPECT_TRUE(takes(*second, sealed("ACTION REBOOT", kNow + 3), kNow + 5));

  // A mark that can't be stored keeps a restarting command from acting.
  // Other commands go on acting.
  registry.DenyWrite(mark_path, "NewestCommandTime");
  EXPECT_FALSE(second->KeepMark(true));
  EXPECT_NE(log.back().find("the replay mark was not stored"), std::string::npos);
  ASSERT_TRUE(takes(*second, sealed("ACTION INFO", kNow + 4), kNow + 5));
  EXPECT_TRUE(second->KeepMark(false));

  // A mark in the future (a clock that was wrong) refuses everything and
  // says how to reset it; one that is no time reads as the clock's.
  testing::MemoryRegistry ahead;
  ahead.SetString(mark_path, "NewestCommandTime", std::to_string(kNow + 86400));
  auto third = gate_of(ahead);
  EXPECT_FALSE(takes(*third, sealed("ACTION INFO", kNow), kNow));
  EXPECT_NE(log.back().find("86400 s ahead of this clock"), std::string::npos) << log.back();
  testing::MemoryRegistry garbled;
  garbled.SetString(mark_path, "NewestCommandTime", "-5");
  auto fourth = gate_of(garbled);
  EXPECT_NE(log[log.size() - 2].find("is not a time in seconds: '-5'"), std::string::npos);
  EXPECT_FALSE(takes(*fourth, sealed("ACTION INFO", UnixNow() - 5), UnixNow()));
}

// The key's life on a station: RequireKey keeps a station whose key went
// missing from starting unkeyed; a weak or wrong stored key is refused.
TEST(StoredCommandKey, IsRequiredWhenRequireKeyIsSetAndRefusedWhenItCantBeUsed) {
  const std::string path = "HKLM\\" + std::string(agent::kCommandKeyPath);
  testing::MemoryRegistry registry;
  EXPECT_EQ(agent::ReadStoredCommandKey(registry), std::nullopt);
  registry.SetDword(path, "RequireKey", 1);
  try {
    (void)agent::ReadStoredCommandKey(registry);
    ADD_FAILURE() << "a required key that is missing was not refused";
  } catch (const KeyFileError& e) {
    EXPECT_NE(std::string(e.what()).find("RequireKey is set"), std::string::npos) << e.what();
  }
  registry.SetString(path, "CommandKey", KeyHex(kKey));
  registry.SetString(path, "StationAddress", "10.0.0.21");
  auto stored = agent::ReadStoredCommandKey(registry);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->key, kKey);
  EXPECT_EQ(stored->station_address, "10.0.0.21");
  registry.SetString(path, "CommandKey", std::string(64, '0'));
  EXPECT_THROW((void)agent::ReadStoredCommandKey(registry), KeyFileError);
  registry.SetString(path, "CommandKey", "zalvo club key\n" + KeyHex(kKey));
  EXPECT_THROW((void)agent::ReadStoredCommandKey(registry), KeyFileError);
}

}  // namespace
}  // namespace zalvo::protocol
