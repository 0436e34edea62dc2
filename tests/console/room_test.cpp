// The console's room model and wire texts: reports read, stations online
// and offline at the edges, stations added when they report, and the
// session arithmetic that "start", "add minutes" and "end now" drive.
#include <gtest/gtest.h>

#include "console/core/envelope.h"
#include "console/core/room.h"
#include "console/core/wire.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "text/text.h"

namespace zalvo::console {
namespace {

constexpr Millis kT0 = 1'700'000'000'000;

TEST(ConsoleWire, ReadsEveryReportAndRefusesLookAlikes) {
  EXPECT_EQ(protocol::ParseReport("PING")->kind, protocol::Report::Kind::kPingReply);
  auto fg = protocol::ParseReport("PLAYGAME=COUNTER-STRIKE 1.6");
  ASSERT_TRUE(fg);
  EXPECT_EQ(fg->kind, protocol::Report::Kind::kForeground);
  EXPECT_EQ(fg->caption, "COUNTER-STRIKE 1.6");
  EXPECT_EQ(protocol::ParseReport("PLAYGAME=")->kind, protocol::Report::Kind::kForeground);
  EXPECT_EQ(protocol::ParseReport("PLAYGAME=0:0")->kind, protocol::Report::Kind::kNoForeground);
  EXPECT_EQ(protocol::ParseReport("PLAYGAME=0:4711")->kind, protocol::Report::Kind::kNoForeground);
  EXPECT_EQ(protocol::ParseReport("PLAYGAME=0:X")->kind, protocol::Report::Kind::kForeground);
  auto disk = protocol::ParseReport("INFO  c:78149MB");
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->free_mb, 78149);
  auto list =
      protocol::ParseReport("PROCESS LIST:EXPLORER,\"COUNTER-STRIKE 1.6\",\"SAY \"\"HI\"\"\"");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->windows,
            (std::vector<std::string>{"EXPLORER", "COUNTER-STRIKE 1.6", "SAY \"HI\""}));
  EXPECT_TRUE(protocol::ParseReport("PROCESS LIST:")->windows.empty());

  for (const char* bad :
       {"PING ", "ping", "", "INFO ", "INFO  c:MB", "INFO  c:12 MB", "INFO  c:-1MB",
        "INFO  c:99999999999999999MB", "INFO c:12MB", "PROCESS LIST:\"OPEN", "ACTION SIT 30"}) {
    EXPECT_FALSE(protocol::ParseReport(bad)) << bad;
  }
  // What the agent writes as a window list reads back as the same captions.
  std::vector<std::string> captions{"A", "B C", "", "\"Q\"", "X,Y", "\xCF\xC8"};
  EXPECT_EQ(text::ParseCommaText(text::CommaText(captions)), captions);
}

TEST(ConsoleWire, StandsToEndFollowTheStationsArithmetic) {
  // Each "ACTION STAND" cuts to 120, lowers by 20 and ends only at 0 or less.
  for (int64_t r : {-600, 0, 1, 20, 21, 40, 41, 99, 100, 101, 120, 121, 3000, 2147483647}) {
    int32_t stands = wire::StandsToEnd(r);
    int64_t left = r;
    for (int32_t i = 1; i < stands; ++i) {
      left = protocol::StandSeconds(static_cast<int32_t>(left));
      EXPECT_GT(left, 0) << r << ": ended before the last STAND";
    }
    EXPECT_LE(protocol::StandSeconds(static_cast<int32_t>(left)), 0) << r;
  }
  EXPECT_EQ(wire::StandsToEnd(20), 1);
  EXPECT_EQ(wire::StandsToEnd(21), 2);
  EXPECT_EQ(wire::StandsToEnd(100), 5);
  EXPECT_EQ(wire::StandsToEnd(101), 6);
  EXPECT_EQ(wire::StandsToEnd(3000), 6);
  EXPECT_EQ(wire::Sit(30), "ACTION SIT 30");
  EXPECT_EQ(wire::Sit(-5), "ACTION SIT -5");
}

TEST(ConsoleRoom, OnlineWithinTwoKeepAlivePeriods) {
  Room room({1000, 16});
  room.AddStation({"PC 1", "10.0.0.21", 1, 1});
  const Station& pc = *room.Find("10.0.0.21");
  EXPECT_FALSE(room.Online(pc, kT0)) << "never heard";
  uint64_t version = room.version();
  EXPECT_EQ(room.OnDatagram("10.0.0.21", "PING", kT0), Room::Heard::kReport);
  EXPECT_GT(room.version(), version) << "coming online is a change the page shows";
  EXPECT_TRUE(room.Online(pc, kT0 + 2000));
  EXPECT_FALSE(room.Online(pc, kT0 + 2001));
  // A keep-alive while online changes nothing the page shows.
  version = room.version();
  room.OnDatagram("10.0.0.21", "PING", kT0 + 500);
  EXPECT_EQ(room.version(), version);
  // Garbage from the station's address does not keep it online.
  EXPECT_EQ(room.OnDatagram("10.0.0.21", "HELLO", kT0 + 1900), Room::Heard::kGarbage);
  EXPECT_FALSE(room.Online(pc, kT0 + 2501));
  EXPECT_EQ(room.counters().garbage, 1u);
}

// Keep-alive 100 s, lost after 15 s of silence, a grace of 240 s after a
// start or a restart; the console listens from kT0.
TEST(ConsoleRoom, ConnectionOfRentedFreeAndRestartingStations) {
  RoomOptions options{100'000, 16};
  options.lost_ms = 15'000;
  options.start_grace_ms = 240'000;
  Room room(options);
  room.StartListening(kT0);
  room.AddStation({"PC 1", "10.0.0.21"});
  room.AddStation({"PC 2", "10.0.0.22"});
  const Station& pc = *room.Find("10.0.0.21");
  const Station& never = *room.Find("10.0.0.22");
  EXPECT_EQ(room.ConnectionAt(never, kT0 + 60'000), Connection::kOffline);

  // Rented: heard lately, else (outside the grace) lost; a rented station
  // not heard since the console started is lost only after the bound.
  room.OnDatagram("10.0.0.21", "PING", kT0);
  room.SetSession("10.0.0.21", NewSession(60, kT0, "anna"));
  room.SetSession("10.0.0.22", NewSession(60, kT0, "anna"));
  EXPECT_EQ(room.ConnectionAt(pc, kT0 + 15'000), Connection::kOnline);
  EXPECT_EQ(room.ConnectionAt(pc, kT0 + 15'001), Connection::kLost);
  EXPECT_TRUE(room.Online(pc, kT0 + 15'001)) << "the keep-alive's online stays as it was";
  EXPECT_EQ(room.ConnectionAt(never, kT0 + 15'000), Connection::kOffline);
  EXPECT_EQ(room.ConnectionAt(never, kT0 + 15'001), Connection::kLost);

  // Started (or restarted) at kT0: silent within the grace it is starting,
  // and lost once the grace is over.
  room.MarkBooting("10.0.0.21", kT0);
  EXPECT_TRUE(room.Booting(pc, kT0 + 239'999));
  EXPECT_FALSE(room.Booting(pc, kT0 + 240'000));
  EXPECT_EQ(room.ConnectionAt(pc, kT0 + 15'000), Connection::kOnline);
  EXPECT_EQ(room.ConnectionAt(pc, kT0 + 15'001), Connection::kStarting);
  EXPECT_EQ(room.ConnectionAt(pc, kT0 + 239'999), Connection::kStarting);
  EXPECT_EQ(room.ConnectionAt(pc, kT0 + 240'000), Connection::kLost);

  // Free and restarted: starting while silent within the grace, then the
  // keep-alive's online or offline.
  room.SetSession("10.0.0.21", std::nullopt);
  EXPECT_EQ(room.ConnectionAt(pc, kT0 + 20'000), Connection::kStarting);
  EXPECT_EQ(room.ConnectionAt(pc, kT0 + 200'001), Connection::kStarting);
  EXPECT_EQ(room.ConnectionAt(pc, kT0 + 240'000), Connection::kOffline);
  room.OnDatagram("10.0.0.21", "PING", kT0 + 30'000);
  EXPECT_EQ(room.ConnectionAt(pc, kT0 + 30'000), Connection::kOnline) << "heard again";
}

// What a station says of its session: its state, or (an older station)
// "PING" alone to "ACTION STATE"; when that proves an end; when it
// disagrees with the record; and a restart explains a silence only when the
// station was there to hear it.
TEST(ConsoleRoom, TheStationsWordOnItsSession) {
  Room room;
  room.StartListening(kT0);
  room.AddStation({"PC 1", "10.0.0.21"});
  room.AddStation({"PC 2", "10.0.0.22"});
  const Station& pc = *room.Find("10.0.0.21");
  const Station& old = *room.Find("10.0.0.22");
  EXPECT_FALSE(room.MarkBooting("10.0.0.21", kT0)) << "never heard: nobody to restart";
  room.Note("10.0.0.21", [](Station& s) { s.state_asked = kT0; });
  room.OnDatagram("10.0.0.21", "STATE 1 1800", kT0 + 10);
  room.OnDatagram("10.0.0.21", "PING", kT0 + 11);
  EXPECT_EQ(pc.state_support, StateSupport::kYes);
  ASSERT_TRUE(pc.state);
  EXPECT_TRUE(pc.state->running);
  EXPECT_TRUE(room.MarkBooting("10.0.0.21", kT0 + 20));
  room.Note("10.0.0.22", [](Station& s) {
    s.state_asked = kT0;
    s.state_nonce = "abc";
  });
  room.OnDatagram("10.0.0.22", "PING", kT0 + 10, Seal{"other", true});
  EXPECT_EQ(old.state_support, StateSupport::kUnknown) << "the reply to another command";
  room.OnDatagram("10.0.0.22", "PING", kT0 + 10, Seal{"abc", true});
  EXPECT_EQ(old.state_support, StateSupport::kNo);

  // In a session the record doesn't have; once a session is recorded, its
  // first answers are not compared.
  ASSERT_TRUE(MismatchOf(pc, 1'500));
  EXPECT_EQ(MismatchOf(pc, 1'500)->kind, Mismatch::Kind::kRunning);
  room.SetSession("10.0.0.21", NewSession(30, kT0 + 100, "anna"), kT0 + 100);
  room.OnDatagram("10.0.0.21", "STATE 0 0", kT0 + 200);
  EXPECT_FALSE(MismatchOf(pc, 1'500)) << "may answer an ask sent before the start";
  room.OnDatagram("10.0.0.21", "STATE 0 0", kT0 + 1'700);
  ASSERT_TRUE(MismatchOf(pc, 1'500));
  EXPECT_EQ(MismatchOf(pc, 1'500)->kind, Mismatch::Kind::kFree);

  // An end holds by the state, by the signed reply to its last STAND, or
  // (unverified, a station without ACTION STATE) by a PING after it.
  room.Change("10.0.0.21", [](Station& s) {
    s.ending = PendingEnd{.session_id = 1, .asked = kT0, .by = "anna"};
  });
  auto state = [](bool running) { return protocol::SessionState{running, 0}; };
  EXPECT_FALSE(EndHolds(pc, state(false), false, {})) << "not sent yet";
  room.Note("10.0.0.21", [](Station& s) {
    s.ending->sent = kT0;
    s.ending->nonces = {"n1"};
  });
  EXPECT_TRUE(EndHolds(pc, state(false), false, {}));
  EXPECT_FALSE(EndHolds(pc, state(true), false, {}));
  EXPECT_FALSE(EndHolds(pc, std::nullopt, true, {}))
      << "a PING, unverified, from a station with state";
  EXPECT_FALSE(EndHolds(pc, std::nullopt, true, Seal{"n2", true}));
  EXPECT_TRUE(EndHolds(pc, std::nullopt, true, Seal{"n1", true}));
  EXPECT_FALSE(MismatchOf(pc, 1'500)) << "not compared while it ends";
  room.Change("10.0.0.22", [](Station& s) { s.ending = PendingEnd{.sent = kT0}; });
  EXPECT_TRUE(EndHolds(old, std::nullopt, true, {}));
}

// The watch flags a loss once and its end once, moves the version at each
// change of a connection, and drops the flag silently when the session ends.
TEST(ConsoleRoom, WatchFlagsALossAndTheReturnOnce) {
  RoomOptions options{100'000, 16};
  options.lost_ms = 15'000;
  Room room(options);
  room.StartListening(kT0);
  room.AddStation({"PC 1", "10.0.0.21"});
  room.AddStation({"PC 2", "10.0.0.22"});
  room.OnDatagram("10.0.0.21", "PING", kT0);
  room.OnDatagram("10.0.0.22", "PING", kT0);
  room.SetSession("10.0.0.21", NewSession(60, kT0, "anna"));
  room.SetSession("10.0.0.22", NewSession(60, kT0, "anna"));
  EXPECT_TRUE(room.Watch(kT0 + 1'000).empty());

  uint64_t version = room.version();
  auto lost = room.Watch(kT0 + 16'000);
  ASSERT_EQ(lost.size(), 2u);
  EXPECT_EQ(lost[0].kind, ConnectionChange::Kind::kLost);
  EXPECT_EQ(lost[0].address, "10.0.0.21");
  EXPECT_EQ(lost[0].for_ms, 16'000);
  auto update = room.ChangesSince(version);
  ASSERT_TRUE(update);
  EXPECT_EQ(update->stations.size(), 2u) << "the page's update carries the loss";
  version = room.version();
  EXPECT_TRUE(room.Watch(kT0 + 30'000).empty()) << "flagged once";
  EXPECT_EQ(room.version(), version);

  room.OnDatagram("10.0.0.21", "PING", kT0 + 31'000);
  room.SetSession("10.0.0.22", std::nullopt);
  auto back = room.Watch(kT0 + 31'000);
  ASSERT_EQ(back.size(), 1u) << "the ended session's loss is not a return";
  EXPECT_EQ(back[0].kind, ConnectionChange::Kind::kBack);
  EXPECT_EQ(back[0].address, "10.0.0.21");
  EXPECT_EQ(back[0].for_ms, 15'000);
  EXPECT_TRUE(room.Watch(kT0 + 32'000).empty());
  EXPECT_EQ(room.Find("10.0.0.22")->lost_since, -1);
}

TEST(ConsoleRoom, ReportsShowWhatTheStationSaidInUtf8) {
  Room room;
  room.AddStation({"PC 1", "10.0.0.21"});
  const Station& pc = *room.Find("10.0.0.21");
  EXPECT_FALSE(pc.foreground);
  EXPECT_FALSE(pc.free_mb);
  room.OnDatagram("10.0.0.21", "PLAYGAME=\xC8\xC3\xD0\xC0 <b>", kT0);  // "ИГРА <b>" in 1251
  EXPECT_EQ(pc.foreground, "\xD0\x98\xD0\x93\xD0\xA0\xD0\x90 <b>");
  room.OnDatagram("10.0.0.21", "PLAYGAME=0:0", kT0);
  EXPECT_EQ(pc.foreground, "");
  room.OnDatagram("10.0.0.21", "INFO  c:512MB", kT0);
  EXPECT_EQ(pc.free_mb, 512);
  room.OnDatagram("10.0.0.21", "PROCESS LIST:A,\"B C\"", kT0 + 7);
  EXPECT_EQ(pc.windows, (std::vector<std::string>{"A", "B C"}));
  EXPECT_EQ(pc.windows_at, kT0 + 7);
}

TEST(ConsoleRoom, UnknownAddressesAreAddedOnlyForRealReports) {
  Room room({1000, 3});
  room.AddStation({"10.0.0.9", "10.0.0.21"});  // a name that looks like an address
  EXPECT_EQ(room.OnDatagram("10.0.0.30", "\xFF\x00garbage", kT0), Room::Heard::kUnknownSender);
  EXPECT_EQ(room.OnDatagram("10.0.0.30", std::string(2048, 'A'), kT0), Room::Heard::kUnknownSender);
  EXPECT_EQ(room.stations().size(), 1u);
  EXPECT_EQ(room.OnDatagram("10.0.0.31", "PLAYGAME=NOTEPAD", kT0), Room::Heard::kAdded);
  const Station* added = room.Find("10.0.0.31");
  ASSERT_TRUE(added);
  EXPECT_EQ(added->name, "10.0.0.31");
  EXPECT_FALSE(added->configured);
  EXPECT_EQ(added->foreground, "NOTEPAD");
  EXPECT_EQ(room.OnDatagram("10.0.0.9", "PING", kT0), Room::Heard::kAdded);
  EXPECT_NE(room.Find("10.0.0.9")->name, "10.0.0.9") << "names stay unique";
  // The room is full: further addresses are counted, not added.
  EXPECT_EQ(room.OnDatagram("10.0.0.33", "PING", kT0), Room::Heard::kOverLimit);
  EXPECT_EQ(room.stations().size(), 3u);
  const auto& c = room.counters();
  EXPECT_EQ(c.datagrams, 5u);
  EXPECT_EQ(c.unknown_sender, 2u);
  EXPECT_EQ(c.stations_added, 2u);
  EXPECT_EQ(c.over_limit, 1u);

  EXPECT_THROW(room.AddStation({"PC 9", "10.0.0.21"}), Refused);
  EXPECT_THROW(room.AddStation({"PC 9", "10.0.0.021"}), Refused);
  EXPECT_THROW(room.AddStation({"PC 9", "pc9.club"}), Refused);
}

TEST(ConsoleRoom, WithARoomFileStrangersWaitAsUnknown) {
  RoomOptions options;
  options.hold_unknown = true;
  options.max_unknown = 2;
  Room room(options);
  room.AddStation({"PC 1", "10.0.0.21"});
  EXPECT_EQ(room.OnDatagram("10.0.0.31", "PING", kT0), Room::Heard::kUnknown);
  EXPECT_EQ(room.OnDatagram("10.0.0.32", "PING", kT0 + 1), Room::Heard::kUnknown);
  EXPECT_EQ(room.OnDatagram("10.0.0.31", "PING", kT0 + 2), Room::Heard::kReport);
  // The unknown one heard least recently makes room for a new one.
  EXPECT_EQ(room.OnDatagram("10.0.0.33", "PING", kT0 + 3), Room::Heard::kUnknown);
  EXPECT_FALSE(room.Find("10.0.0.32"));
  EXPECT_TRUE(room.Find("10.0.0.31")->unknown);
  EXPECT_FALSE(room.Adopt("10.0.0.21"));
  EXPECT_TRUE(room.Adopt("10.0.0.31"));
  EXPECT_FALSE(room.Find("10.0.0.31")->unknown);
  EXPECT_FALSE(room.Adopt("10.0.0.31"));
  // Adopted, it no longer counts among the unknown.
  EXPECT_EQ(room.OnDatagram("10.0.0.34", "PING", kT0 + 4), Room::Heard::kUnknown);
  EXPECT_TRUE(room.Find("10.0.0.33"));
  EXPECT_TRUE(room.Remove("10.0.0.31"));
  EXPECT_FALSE(room.Remove("10.0.0.31"));
  EXPECT_FALSE(room.Find("10.0.0.31"));
  EXPECT_EQ(room.Find("10.0.0.34")->address, "10.0.0.34");
  EXPECT_EQ(room.Find("10.0.0.21")->name, "PC 1");
  EXPECT_EQ(room.stations().size(), 3u);
}

// The page's update after a version it has: the stations changed since,
// going offline with the clock included, the addresses removed since, and
// the whole room when the version can't be answered with changes.
TEST(ConsoleRoom, ChangesSinceAVersion) {
  RoomOptions options;
  options.keepalive_ms = 1000;
  options.hold_unknown = true;
  Room room(options);
  room.AddStation({"PC 1", "10.0.0.21"});
  room.AddStation({"PC 2", "10.0.0.22"});
  auto addresses = [](const RoomChanges& changes) {
    std::vector<std::string> list;
    for (const Station* station : changes.stations) {
      list.push_back(station->address);
    }
    return list;
  };
  room.OnDatagram("10.0.0.21", "PING", kT0);
  room.OnDatagram("10.0.0.22", "PING", kT0 + 500);
  uint64_t v1 = room.version();
  EXPECT_TRUE(room.ChangesSince(v1)->stations.empty());
  room.OnDatagram("10.0.0.22", "PING", kT0 + 600);  // a keep-alive changes nothing
  room.OnDatagram("10.0.0.22", "PLAYGAME=DOOM", kT0 + 700);
  room.OnDatagram("10.0.0.31", "PING", kT0 + 700);  // unknown
  EXPECT_EQ(addresses(*room.ChangesSince(v1)),
            (std::vector<std::string>{"10.0.0.22", "10.0.0.31"}));
  // PC 1 falls silent: offline from kT0 + 2001, a change when marked.
  uint64_t v2 = room.version();
  room.MarkOffline(kT0 + 2000);
  EXPECT_EQ(room.version(), v2);
  room.MarkOffline(kT0 + 2001);
  EXPECT_EQ(addresses(*room.ChangesSince(v2)), (std::vector<std::string>{"10.0.0.21"}));
  room.MarkOffline(kT0 + 2400);
  EXPECT_EQ(room.ChangesSince(v2)->stations.size(), 1u) << "marked once";

  // Removed: its address after, not before; removed and back: a station.
  room.Remove("10.0.0.31");
  auto changes = room.ChangesSince(v2);
  EXPECT_EQ(changes->removed, std::vector<std::string>{"10.0.0.31"});
  EXPECT_EQ(addresses(*changes), (std::vector<std::string>{"10.0.0.21"}));
  EXPECT_TRUE(room.ChangesSince(room.version())->removed.empty());
  room.OnDatagram("10.0.0.31", "PING", kT0 + 3000);
  changes = room.ChangesSince(v2);
  EXPECT_TRUE(changes->removed.empty());
  EXPECT_EQ(addresses(*changes), (std::vector<std::string>{"10.0.0.21", "10.0.0.31"}));

  // No version, one this room never had, or one older than the removals it
  // remembers: the whole room.
  EXPECT_FALSE(room.ChangesSince(0));
  EXPECT_FALSE(room.ChangesSince(room.version() + 1));
  uint64_t v3 = room.version();
  for (size_t i = 0; i < Room::kRemovalMemory; ++i) {
    std::string address = "10.1." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1);
    room.OnDatagram(address, "PING", kT0 + 4000);
    room.Remove(address);
  }
  EXPECT_EQ(room.ChangesSince(v3)->removed.size(), Room::kRemovalMemory);
  room.Remove("10.0.0.31");
  EXPECT_FALSE(room.ChangesSince(v3)) << "the first removal after it is forgotten";
  EXPECT_EQ(room.ChangesSince(room.version() - 1)->removed, std::vector<std::string>{"10.0.0.31"});
}

TEST(ConsoleRoom, SessionArithmetic) {
  RentalSession s = NewSession(30, kT0, "anna");
  EXPECT_EQ(s.ends, kT0 + 30 * 60'000);
  EXPECT_EQ(RemainingSeconds(s, kT0), 1800);
  EXPECT_EQ(RemainingSeconds(s, kT0 + 1), 1800) << "rounded up";
  EXPECT_EQ(RemainingSeconds(s, s.ends), 0);
  EXPECT_EQ(RemainingSeconds(s, s.ends + 1), 0);
  EXPECT_EQ(RemainingSeconds(s, s.ends + 1001), -1);

  Station pc;
  EXPECT_EQ(OccupancyOf(pc, kT0), Occupancy::kFree);
  pc.session = s;
  EXPECT_EQ(OccupancyOf(pc, s.ends - 1), Occupancy::kRented);
  EXPECT_EQ(OccupancyOf(pc, s.ends), Occupancy::kOverrun);

  // Ten minutes in, 15 more: 35 minutes from now, exactly.
  Renewal r = AddMinutes(s, 15, kT0 + 10 * 60'000);
  EXPECT_EQ(r.sit_minutes, 35);
  EXPECT_EQ(r.session.minutes, 45);
  EXPECT_EQ(r.session.ends, s.ends + 15 * 60'000);
  // Part of a minute left over is rounded up: the station gets the whole
  // minute, and the console's end follows the station's.
  r = AddMinutes(s, 5, kT0 + 30'500);
  EXPECT_EQ(r.sit_minutes, 35);
  EXPECT_EQ(r.session.ends, kT0 + 30'500 + 35 * 60'000);
  // Twenty minutes overrun, ten added: still ten overrun, on the station too.
  r = AddMinutes(s, 10, s.ends + 20 * 60'000);
  EXPECT_EQ(r.sit_minutes, -10);
  pc.session = r.session;
  EXPECT_EQ(OccupancyOf(pc, s.ends + 20 * 60'000), Occupancy::kOverrun);
}

TEST(ConsoleRoom, EndNowSendsEnoughStandsForTheStationsClock) {
  RentalSession s = NewSession(30, kT0, "anna");
  EXPECT_EQ(StandsToEndNow(s, kT0 + 60'000), 6);
  EXPECT_EQ(StandsToEndNow(std::nullopt, kT0), 6) << "unknown time: the most ever needed";
  EXPECT_EQ(StandsToEndNow(s, s.ends + 60'000), 1) << "overrun: one ends it";
  // The station's ticks lag behind the clock: whatever it still has, up to
  // the margin, the stands end its session.
  for (Millis left_ms : {1'000, 15'000, 35'000, 59'000, 95'000}) {
    Millis now = s.ends - left_ms;
    int32_t stands = StandsToEndNow(s, now);
    for (int64_t station_left = left_ms / 1000; station_left <= left_ms / 1000 + 10;
         ++station_left) {
      int64_t r = station_left;
      for (int32_t i = 0; i < stands; ++i) {
        r = protocol::StandSeconds(static_cast<int32_t>(r));
      }
      EXPECT_LE(r, 0) << left_ms << " ms left, station at " << station_left;
    }
    EXPECT_LE(stands, wire::StandsToEnd(left_ms / 1000 + 10 + 30 + 20))
        << "no more than needed, give or take one";
  }
}

TEST(ConsoleRoom, RoomFile) {
  auto stations = ParseRoomFile(
      "# the front row\n"
      "\"PC 1\" 10.0.0.21 1 1\r\n"
      "\n"
      "\tPC2   10.0.0.22\t2 1\n"
      "Бар 10.0.0.30\n");
  ASSERT_EQ(stations.size(), 3u);
  EXPECT_EQ(stations[0].name, "PC 1");
  EXPECT_EQ(stations[0].column, 1);
  EXPECT_EQ(stations[1].name, "PC2");
  EXPECT_EQ(stations[1].column, 2);
  EXPECT_EQ(stations[2].name, "Бар");
  EXPECT_EQ(stations[2].column, 0);
  for (const char* bad : {"PC1\n", "PC1 10.0.0.300\n", "PC1 10.0.0.1 1\n", "PC1 10.0.0.1 0 1\n",
                          "\"PC 1 10.0.0.1\n", "PC1 10.0.0.1 a b\n"}) {
    EXPECT_THROW(ParseRoomFile(bad), Refused) << bad;
  }
}

// With the club's key, commands go out sealed with the key of the station
// they are sent to (derived, or the club key for a station that still keeps
// it), and only that station's signed replies and reports are read, once; a
// station marked unkeyed is sent plain commands and read unverified.
TEST(ConsoleEnvelope, SignsWithEachStationsKeyAndTakesEachSignedReportOnce) {
  protocol::CommandKey club{};
  for (size_t i = 0; i < club.size(); ++i) {
    club[i] = static_cast<uint8_t>(i + 7);
  }
  KeyedEnvelope envelope(club, protocol::ClubKeyedStations::Parse("10.0.0.30"));
  const protocol::CommandKey own = protocol::DeriveStationKey(club, "10.0.0.21");
  auto open_command = [](const std::string& datagram, const protocol::CommandKey& key,
                         const char* station) {
    return protocol::Open(datagram, protocol::Direction::kCommand, key, station,
                          protocol::UnixNow());
  };
  Sealed sealed = envelope.Wrap("ACTION SIT 30", "10.0.0.21");
  protocol::Opened command = open_command(sealed.datagram, own, "10.0.0.21");
  ASSERT_EQ(command.verdict, protocol::Verdict::kOk);
  EXPECT_EQ(command.text, "ACTION SIT 30");
  EXPECT_EQ(command.nonce, sealed.nonce);
  EXPECT_NE(open_command(sealed.datagram, club, "10.0.0.21").verdict, protocol::Verdict::kOk);
  EXPECT_EQ(
      open_command(envelope.Wrap("ACTION INFO", "10.0.0.30").datagram, club, "10.0.0.30").verdict,
      protocol::Verdict::kOk);

  auto reply = [](const char* text, const protocol::CommandKey& key, const char* station,
                  int64_t time = protocol::UnixNow()) {
    return protocol::Seal(protocol::Direction::kReply, text, key, station, time,
                          protocol::NewNonce());
  };
  auto taken = [&](const std::string& datagram, const char* station) -> std::optional<std::string> {
    Unsealed opened = envelope.Open(datagram, station);
    if (opened.verdict != Unsealed::Verdict::kTaken) {
      return std::nullopt;
    }
    return opened.text;
  };
  std::string ping = reply("PING", own, "10.0.0.21");
  EXPECT_EQ(taken(ping, "10.0.0.22"), std::nullopt);  // another station's
  Unsealed first = envelope.Open(ping, "10.0.0.21");
  EXPECT_EQ(first.text, "PING");
  EXPECT_TRUE(first.verified);
  EXPECT_EQ(envelope.Open(ping, "10.0.0.21").verdict, Unsealed::Verdict::kRefused);  // replayed
  EXPECT_EQ(taken(reply("PING", club, "10.0.0.21"), "10.0.0.21"), std::nullopt);
  EXPECT_EQ(taken(reply("INFO  c:5MB", club, "10.0.0.30"), "10.0.0.30"), "INFO  c:5MB");
  EXPECT_EQ(taken("PING", "10.0.0.21"), std::nullopt);  // unsigned
  // A command sealed for the station does not pass as its reply.
  EXPECT_EQ(taken(sealed.datagram, "10.0.0.21"), std::nullopt);

  // Marked unkeyed, a station is sent plain commands and its plain
  // datagrams are read, unverified.
  envelope.SetUnkeyed("10.0.0.22", true);
  EXPECT_EQ(envelope.Wrap("ACTION INFO", "10.0.0.22").datagram, "ACTION INFO");
  Unsealed plain = envelope.Open("PING", "10.0.0.22");
  EXPECT_EQ(plain.verdict, Unsealed::Verdict::kTaken);
  EXPECT_FALSE(plain.verified);
  envelope.SetUnkeyed("10.0.0.22", false);
  EXPECT_EQ(taken("PING", "10.0.0.22"), std::nullopt);
}

// A station's memory of reports is bounded: when it is full the oldest goes
// and the floor rises to its time, so a replay of it is refused as stale
// while the station's new reports go on being read; a burst in its newest
// second beyond the memory is not read, but shows the station there.
TEST(ConsoleEnvelope, AFullMemoryOfReportsRaisesTheFloorAndRefusesNoGenuineReport) {
  protocol::CommandKey club{};
  club.fill(3);
  club[0] = 9;
  KeyedEnvelope envelope(club);
  const protocol::CommandKey own = protocol::DeriveStationKey(club, "10.0.0.21");
  const int64_t now = protocol::UnixNow();
  auto report = [&](int64_t time) {
    return protocol::Seal(protocol::Direction::kReply, "PING", own, "10.0.0.21", time,
                          protocol::NewNonce());
  };
  auto verdict = [&](const std::string& datagram) {
    return envelope.Open(datagram, "10.0.0.21").verdict;
  };
  std::vector<std::string> sent;
  for (int64_t i = 0; i <= static_cast<int64_t>(KeyedEnvelope::kReportsPerStation); ++i) {
    sent.push_back(report(now - 40 + i));
    ASSERT_EQ(verdict(sent.back()), Unsealed::Verdict::kTaken) << i;
  }
  EXPECT_EQ(verdict(sent[0]), Unsealed::Verdict::kRefused) << "forgotten, below the floor";
  EXPECT_EQ(verdict(report(now - 40)), Unsealed::Verdict::kRefused) << "at the floor";
  EXPECT_EQ(verdict(sent[1]), Unsealed::Verdict::kRefused) << "still remembered";
  const int64_t newest = now - 40 + static_cast<int64_t>(KeyedEnvelope::kReportsPerStation);
  size_t read = 0;
  Unsealed::Verdict last = Unsealed::Verdict::kTaken;
  while (last == Unsealed::Verdict::kTaken && read <= 2 * KeyedEnvelope::kReportsPerStation) {
    last = verdict(report(newest));
    ++read;
  }
  EXPECT_EQ(last, Unsealed::Verdict::kHeard) << "after " << read;
  EXPECT_EQ(verdict(report(newest + 1)), Unsealed::Verdict::kTaken);

  ReportGuard guard(2);
  EXPECT_EQ(guard.Admit("a", 100, 100), ReportGuard::Verdict::kNew);
  EXPECT_EQ(guard.Admit("b", 101, 101), ReportGuard::Verdict::kNew);
  EXPECT_EQ(guard.Admit("c", 102, 102), ReportGuard::Verdict::kNew);
  EXPECT_EQ(guard.floor(), 100);
  EXPECT_EQ(guard.Admit("a", 100, 102), ReportGuard::Verdict::kStale);
  EXPECT_EQ(guard.Admit("b", 101, 102), ReportGuard::Verdict::kReplayed);
  EXPECT_EQ(guard.Admit("d", 300, 300), ReportGuard::Verdict::kNew) << "the old ones expired";
  EXPECT_EQ(guard.size(), 1u);
}

}  // namespace
}  // namespace zalvo::console
