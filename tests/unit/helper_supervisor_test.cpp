// The session helper's channel and life, on any platform: the frame codec,
// the service's desktop and speakers through a helper that runs the real
// request handling over a fake desktop, and helpers that send garbage, close
// mid-reply, hang, die, are replaced by a session change, or can't be
// started because nobody is logged on.
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "agent/command_dispatcher.h"
#include "agent/hand_off_desktop.h"
#include "agent/helper_desktop.h"
#include "agent/helper_loop.h"
#include "agent/helper_supervisor.h"
#include "agent/programs.h"
#include "agent/station_actions.h"
#include "agent/volume.h"
#include "platform/error.h"
#include "settings/keys.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/memory_registry.h"

namespace zalvo::agent {
namespace {

namespace helper = protocol::helper;
using helper::FrameError;
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

TEST(HelperCodec, FramesSurviveAnySplitAndBadOnesAreRefusedAtTheHeader) {
  std::string fields = helper::Fields()
                           .U8(7)
                           .U32(0xA1B2C3D4)
                           .U64(0x0102030405060708)
                           .I32(-2)
                           .Text("\xD8\xE0")
                           .bytes();
  std::string stream = helper::EncodeFrame(helper::kReplyKind, 41, fields) +
                       helper::EncodeFrame(helper::kHelloKind, 0, "");
  helper::FrameAssembler assembler;
  std::vector<helper::Frame> frames;
  for (char byte : stream) {  // one byte at a time
    assembler.Add(std::string_view(&byte, 1));
    while (auto frame = assembler.Next()) {
      frames.push_back(*frame);
    }
  }
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_FALSE(assembler.Partial());
  EXPECT_EQ(frames[0].kind, helper::kReplyKind);
  EXPECT_EQ(frames[0].id, 41u);
  helper::FieldReader reader(frames[0].payload);
  EXPECT_EQ(reader.U8(), 7);
  EXPECT_EQ(reader.U32(), 0xA1B2C3D4u);
  EXPECT_EQ(reader.U64(), 0x0102030405060708u);
  EXPECT_EQ(reader.I32(), -2);
  EXPECT_EQ(reader.Text(), "\xD8\xE0");
  EXPECT_NO_THROW(reader.Done());
  EXPECT_THROW(reader.U8(), FrameError);
  EXPECT_EQ(frames[1].kind, helper::kHelloKind);

  // Refused as soon as the header shows it: another channel, another
  // version, a length past the limit (before any of the payload arrives).
  std::string good = helper::EncodeFrame(1, 1, "x");
  std::string other_version = good;
  other_version[2] = static_cast<char>(helper::kVersion + 1);
  std::string too_long = good.substr(0, 8) + std::string("\x01\x00\x04\x00", 4);
  for (const std::string& bad : {std::string("GET / HTTP/1.0"), other_version, too_long}) {
    helper::FrameAssembler a;
    EXPECT_THROW(a.Add(bad.substr(0, helper::kHeaderSize)), FrameError) << bad;
  }
  EXPECT_THROW(helper::DecodeFrame(good + "x"), FrameError);
  // A text whose length runs past the payload, and a field too many.
  EXPECT_THROW(helper::FieldReader(helper::Fields().U32(5).bytes() + "ab").Text(), FrameError);
  const std::string two = helper::Fields().U8(1).U8(2).bytes();
  helper::FieldReader extra(two);
  extra.U8();
  EXPECT_THROW(extra.Done(), FrameError);

  // An event: read back as written; one of an unknown action is refused; its
  // log line stays one line whatever the customer's session put in it.
  helper::Outcome outcome{helper::Outcome::Action::kProgramStart, "C:\\x.exe", false, 1223,
                          "canceled\r\n2026-01-01 service stopped"};
  EXPECT_EQ(helper::DecodeOutcome(helper::EncodeOutcome(outcome)), outcome);
  std::string unknown = helper::EncodeOutcome(outcome);
  unknown[0] = 9;
  EXPECT_THROW(helper::DecodeOutcome(unknown), FrameError);
  EXPECT_EQ(OutcomeLine(outcome),
            "run: C:\\x.exe not started (error 1223): canceled  2026-01-01 service stopped");
}

// What a helper does with the requests it is given.
// kSlowStart says hello only with its second reply; kSilent says nothing;
// kShortReply sends whole frames whose replies lack their last byte; kFlood
// sends events without end, a hundred before each reply.
enum class Behaviour {
  kServe,
  kGarbage,
  kCloseMidReply,
  kTooLong,
  kShortReply,
  kHang,
  kSlowStart,
  kSilent,
  kFlood
};

std::string FloodEvent() {
  return EventFrame({helper::Outcome::Action::kProgramStart, "C:\\flood.exe", true, 0, ""});
}

struct HelperRecord {
  uint32_t process_id = 0;
  uint32_t session = 0;
  bool running = true;
  int requests = 0;
};

// A helper process whose other end runs the helper's own request handling
// over the session's fake desktop and speakers. Reading never waits: with
// nothing to read, the deadline has passed.
class FakeHelper final : public platform::HelperProcess {
 public:
  FakeHelper(std::shared_ptr<HelperRecord> record, Behaviour behaviour, platform::Desktop& desktop,
             platform::Mixer& mixer)
      : record_(std::move(record)), behaviour_(behaviour), desktop_(desktop), mixer_(mixer) {
    std::string hello = HelloFrame(record_->process_id);
    (behaviour_ == Behaviour::kSlowStart ? held_ : out_) =
        behaviour_ == Behaviour::kSilent ? "" : hello;
  }
  bool Write(std::string_view bytes, platform::Deadline) override {
    if (!record_->running) {
      throw platform::PlatformError("the pipe has been ended");
    }
    in_.Add(bytes);
    while (auto request = in_.Next()) {
      record_->requests += 1;
      std::string reply = AnswerRequest(*request, desktop_, mixer_);
      switch (behaviour_) {
        case Behaviour::kServe:
          out_ += reply;
          break;
        case Behaviour::kSlowStart:
          held_ += reply;
          if (record_->requests == 2) {
            out_ = held_;
          }
          break;
        case Behaviour::kGarbage:
          out_ += "Access is denied.\r\n";
          break;
        case Behaviour::kCloseMidReply:
          out_ += reply.substr(0, reply.size() - 1);
          closed_ = true;
          break;
        case Behaviour::kShortReply: {
          helper::Frame frame = helper::DecodeFrame(reply);
          frame.payload.pop_back();
          out_ += helper::EncodeFrame(frame.kind, frame.id, frame.payload);
          break;
        }
        case Behaviour::kTooLong:
          out_ += helper::EncodeFrame(helper::kReplyKind, request->id, "").substr(0, 8) +
                  std::string("\xFF\xFF\xFF\x00", 4);
          break;
        case Behaviour::kFlood:
          for (int i = 0; i < 100; ++i) {
            out_ += FloodEvent();
          }
          out_ += reply;
          break;
        case Behaviour::kHang:
        case Behaviour::kSilent:
          break;
      }
    }
    return true;
  }
  std::optional<size_t> Read(char* data, size_t size, platform::Deadline) override {
    while (behaviour_ == Behaviour::kFlood && out_.size() < size) {
      out_ += FloodEvent();
    }
    if (out_.empty()) {
      return closed_ ? std::optional<size_t>(0) : std::nullopt;
    }
    size_t n = std::min(size, out_.size());
    out_.copy(data, n);
    out_.erase(0, n);
    return n;
  }
  bool Running() override { return record_->running; }
  void Terminate() override { record_->running = false; }
  uint32_t ProcessId() const override { return record_->process_id; }
  uint32_t SessionId() const override { return record_->session; }

 private:
  std::shared_ptr<HelperRecord> record_;
  Behaviour behaviour_;
  platform::Desktop& desktop_;
  platform::Mixer& mixer_;
  helper::FrameAssembler in_;
  std::string out_;
  std::string held_;
  bool closed_ = false;
};

class SilentMixer final : public platform::Mixer {
 public:
  platform::SpeakerControls controls;  // none until a test gives some
  platform::StereoLevels levels{100, 100};
  bool muted = true;
  std::optional<platform::PlatformError> refusal;  // of SetMute
  platform::SpeakerControls OpenSpeakerControls() override { return controls; }
  void SetVolumeLevels(platform::StereoLevels l) override { levels = l; }
  platform::StereoLevels VolumeLevels() override { return levels; }
  void SetMute(bool on) override {
    if (refusal) {
      throw *refusal;
    }
    muted = on;
  }
};

// The console and what the launcher starts there.
class FakeLauncher final : public platform::SessionLauncher {
 public:
  std::optional<uint32_t> console = 1;
  bool logged_on = true;
  bool fails = false;
  Behaviour next = Behaviour::kServe;
  std::vector<std::shared_ptr<HelperRecord>> started;
  Lines service_kills;
  testing::FakeDesktop session_desktop;  // the customer's desktop
  SilentMixer session_mixer;

  std::optional<uint32_t> ConsoleSession() override { return console; }
  platform::LaunchResult Launch() override {
    platform::LaunchResult result;
    if (!console || !logged_on) {
      result.outcome = platform::LaunchResult::Outcome::kNobodyLoggedOn;
    } else if (fails) {
      result.reason = "The system cannot find the file specified.";
    } else {
      auto record = std::make_shared<HelperRecord>();
      record->process_id = 100 + static_cast<uint32_t>(started.size());
      record->session = *console;
      started.push_back(record);
      result.outcome = platform::LaunchResult::Outcome::kStarted;
      result.process = std::make_unique<FakeHelper>(record, next, session_desktop, session_mixer);
    }
    return result;
  }
  std::optional<std::string> TerminateInSession(uint32_t session, uint32_t process_id,
                                                uint32_t code) override {
    service_kills.push_back(std::to_string(session) + " " + std::to_string(process_id) + " " +
                            std::to_string(code));
    return std::nullopt;
  }
  bool Running(size_t i) const { return started.at(i)->running; }
};

class HelperSupervisorTest : public ::testing::Test {
 protected:
  HelperSupervisorTest() {
    launcher.session_desktop.windows = {
        {10, 7, "Counter-Strike"}, {11, 8, ""}, {12, 9, "\xD8\xE0\xF5"}};
    launcher.session_desktop.foreground = 12;
  }
  std::vector<std::string> List() {
    std::vector<std::string> list;
    programs.ListWindows(list);
    return list;
  }

  FakeLauncher launcher;
  std::chrono::steady_clock::time_point now{};
  Lines log;
  HelperSupervisor session{launcher, [this](std::string_view l) { log.emplace_back(l); },
                           HelperTimings{}, [this] { return now; }};
  testing::FakeDesktop service_desktop;
  HelperDesktop desktop{session};
  HelperMixer mixer{session};
  Programs programs{desktop, desktop};
};

TEST_F(HelperSupervisorTest, DesktopActionsAreCarriedOutInTheCustomersSession) {
  EXPECT_EQ(List(), (Lines{"COUNTER-STRIKE", "\xD8\xE0\xF5"}));
  EXPECT_EQ(desktop.ForegroundWindowWithCaption().handle, 12u);
  EXPECT_EQ(desktop.ForegroundWindowWithCaption().caption, "\xD8\xE0\xF5");
  programs.Run("C:\\Games\\cs.exe -game cstrike");
  EXPECT_TRUE(desktop.LockWorkStation());
  desktop.BroadcastMonitorPower(platform::kMonitorOff);
  desktop.SetCursorPosition(0, 0);
  desktop.MessageBeep(0);
  EXPECT_EQ(launcher.session_desktop.actions,
            (Lines{"ShellOpen C:\\Games\\cs.exe|-game cstrike|C:\\Games\\|5", "LockWorkStation",
                   "MonitorPower 2", "SetCursorPos 0 0", "MessageBeep 0"}));
  EXPECT_EQ(launcher.started.size(), 1u);

  // A kill the customer's rights don't allow is done by the service, in the
  // console session; never of the helper itself, whatever it says.
  std::vector<std::string> list;
  programs.KillWindow("counter-strike", list);
  EXPECT_EQ(launcher.session_desktop.actions.back(), "TerminateProcess 7 0");
  EXPECT_TRUE(launcher.service_kills.empty());
  launcher.session_desktop.unkillable = {9, 100};
  programs.KillWindow("\xD8\xE0\xF5", list);
  EXPECT_EQ(launcher.service_kills, Lines{"1 9 0"});
  launcher.session_desktop.windows.push_back({13, session.HelperProcessId(), "Helper"});
  log.clear();
  programs.KillWindow("helper", list);
  EXPECT_EQ(launcher.service_kills, Lines{"1 9 0"});
  EXPECT_EQ(log, Lines{"kill: process 100 is not ended by the service: it is the session helper"});
}

TEST(SystemAccounts, AreNeverEndedByTheServiceForTheHelper) {
  for (const char* system : {"S-1-5-18", "S-1-5-19", "S-1-5-20", "s-1-5-18", "S-1-5-90-0-1",
                             "S-1-5-96-0-1", "S-1-5-80-956008885-3418522649"}) {
    EXPECT_TRUE(platform::SystemAccountSid(system)) << system;
  }
  for (const char* user : {"S-1-5-21-9-1001", "S-1-5-21-9-500", "S-1-5-180", "S-1-5-18-1",
                           "S-1-5-90-", "S-1-5-32-544", ""}) {
    EXPECT_FALSE(platform::SystemAccountSid(user)) << user;
  }
}

TEST_F(HelperSupervisorTest, AHelperThatMisbehavesFailsTheRequestAndIsReplaced) {
  for (Behaviour bad : {Behaviour::kGarbage, Behaviour::kCloseMidReply, Behaviour::kTooLong,
                        Behaviour::kShortReply, Behaviour::kHang}) {
    size_t before = launcher.started.size();
    launcher.next = bad;
    session.SessionChanged();  // a fresh helper, no back-off
    EXPECT_THROW(List(), platform::HelperFailure) << static_cast<int>(bad);
    ASSERT_EQ(launcher.started.size(), before + 1);
    EXPECT_FALSE(launcher.Running(before)) << "the bad helper is ended";
    launcher.next = Behaviour::kServe;
    EXPECT_EQ(List().size(), 2u) << "the next need starts a working one";
    EXPECT_EQ(launcher.started.size(), before + 2);
  }
  // A helper that has not said hello yet is given its start time; the late
  // answer to a request given up meanwhile is dropped.
  launcher.next = Behaviour::kSlowStart;
  session.SessionChanged();
  EXPECT_THROW(desktop.ForegroundWindowWithCaption().handle, platform::HelperFailure);
  EXPECT_TRUE(launcher.started.back()->running);
  EXPECT_EQ(desktop.TopLevelWindowsWithCaptions().at(0).caption, "Counter-Strike");
  launcher.next = Behaviour::kSilent;
  session.SessionChanged();
  EXPECT_THROW(desktop.ForegroundWindowWithCaption().handle, platform::HelperFailure);
  EXPECT_TRUE(launcher.started.back()->running);
  now += milliseconds(10001);
  EXPECT_THROW(desktop.ForegroundWindowWithCaption().handle, platform::HelperFailure);
  EXPECT_FALSE(launcher.started.back()->running);
}

TEST_F(HelperSupervisorTest, AHelperThatKeepsDyingIsRestartedWithABackOff) {
  auto die = [&] { launcher.started.back()->running = false; };
  EXPECT_EQ(desktop.ForegroundWindowWithCaption().handle, 12u);
  die();
  EXPECT_EQ(desktop.ForegroundWindowWithCaption().handle, 12u);  // the first death: again at once
  EXPECT_EQ(launcher.started.size(), 2u);
  die();
  EXPECT_THROW(desktop.ForegroundWindowWithCaption().handle,
               platform::HelperFailure);  // 1 s to wait
  session.Upkeep();
  EXPECT_EQ(launcher.started.size(), 2u);
  now += milliseconds(1000);
  session.Upkeep();  // the tick starts it when the wait is over
  EXPECT_EQ(launcher.started.size(), 3u);
  die();
  session.Upkeep();  // noticed by the next tick
  now += milliseconds(1999);
  EXPECT_THROW(desktop.ForegroundWindowWithCaption().handle, platform::HelperFailure);  // 2 s now
  now += milliseconds(1);
  EXPECT_EQ(desktop.ForegroundWindowWithCaption().handle, 12u);
  // One that serves a while clears the back-off.
  now += milliseconds(30000);
  EXPECT_EQ(desktop.ForegroundWindowWithCaption().handle, 12u);
  die();
  EXPECT_EQ(desktop.ForegroundWindowWithCaption().handle, 12u);
  EXPECT_EQ(launcher.started.size(), 5u);
}

TEST_F(HelperSupervisorTest, ASessionChangeReplacesTheHelperAndNobodyLoggedOnDoesNothing) {
  EXPECT_EQ(desktop.ForegroundWindowWithCaption().handle, 12u);
  session.SessionChanged();  // a log-off and log-on in the same session
  EXPECT_EQ(desktop.ForegroundWindowWithCaption().handle, 12u);
  ASSERT_EQ(launcher.started.size(), 2u);
  EXPECT_FALSE(launcher.Running(0));
  launcher.console = 3;  // another session at the console, with no notice
  EXPECT_EQ(desktop.ForegroundWindowWithCaption().handle, 12u);
  ASSERT_EQ(launcher.started.size(), 3u);
  EXPECT_FALSE(launcher.Running(1));
  EXPECT_EQ(launcher.started[2]->session, 3u);

  // The log-on screen: no windows, nothing done, each kind said once.
  launcher.logged_on = false;
  session.SessionChanged();
  log.clear();
  EXPECT_EQ(List(), Lines{});
  EXPECT_EQ(desktop.ForegroundWindowWithCaption().handle, 0u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(desktop.LockWorkStation());
    desktop.BroadcastMonitorPower(platform::kMonitorOff);
    programs.Run("notepad.exe");
  }
  EXPECT_EQ(mixer.OpenSpeakerControls().volume, false);
  EXPECT_THROW(mixer.SetMute(false), platform::PlatformError);
  EXPECT_FALSE(launcher.Running(2));
  EXPECT_EQ(launcher.started.size(), 3u);
  EXPECT_EQ(log, (Lines{"session helper (process 102) ended: the console session changed",
                        "nobody is logged on at the console: the desktop actions do nothing until "
                        "someone logs on",
                        "workstation lock not done: nobody is logged on at the console",
                        "monitor power not done: nobody is logged on at the console"}));

  launcher.logged_on = true;
  session.Upkeep();
  EXPECT_EQ(launcher.started.size(), 4u);
}

TEST_F(HelperSupervisorTest, SpeakersThatAppearLaterGetTheStartValues) {
  VolumeController volume(mixer);
  launcher.logged_on = false;
  volume.Start();
  EXPECT_FALSE(volume.HasVolumeControl());
  launcher.logged_on = true;
  EXPECT_FALSE(volume.LookAgain());  // a session, but no audio endpoint yet
  launcher.session_mixer.controls = {true, true};
  EXPECT_TRUE(volume.LookAgain());
  EXPECT_EQ(launcher.session_mixer.levels, (platform::StereoLevels{2621, 2621}));
  EXPECT_FALSE(launcher.session_mixer.muted);
  volume.ApplyServerVolume(50);
  EXPECT_EQ(launcher.session_mixer.levels, (platform::StereoLevels{32767, 32767}));
  // Found once, they are not given the start values again.
  launcher.session_mixer.levels = {0, 0};
  EXPECT_TRUE(volume.LookAgain());
  EXPECT_EQ(launcher.session_mixer.levels, (platform::StereoLevels{0, 0}));
  // A refusal in the customer's session arrives with the kind its platform
  // gave it and the system's words; the system's number stays there.
  launcher.session_mixer.refusal =
      platform::PlatformError("Access is denied.", platform::ErrorKind::kAccessDenied, 5);
  try {
    mixer.SetMute(true);
    ADD_FAILURE() << "the refusal was not passed on";
  } catch (const platform::PlatformError& e) {
    EXPECT_EQ(e.kind(), platform::ErrorKind::kAccessDenied);
    EXPECT_STREQ(e.what(), "Access is denied.");
    EXPECT_EQ(e.code(), 0);
  }
}

// A helper that runs the helper's own loop (ServeHelperChannel) on a thread
// of its own, joined to the service by a byte stream each way, in real time.
class ThreadHelper final : public platform::HelperProcess, public HelperStream {
 public:
  ThreadHelper(uint32_t process_id, platform::Desktop& desktop, platform::Mixer& mixer)
      : process_id_(process_id), thread_([this, &desktop, &mixer] {
          ServeHelperChannel(*this, desktop, mixer, process_id_);
          std::lock_guard lock(mutex_);
          ended_ = true;
          changed_.notify_all();
        }) {}
  ~ThreadHelper() override { Terminate(); }
  ThreadHelper(const ThreadHelper&) = delete;
  ThreadHelper& operator=(const ThreadHelper&) = delete;

  // The service's end.
  bool Write(std::string_view bytes, platform::Deadline) override {
    std::lock_guard lock(mutex_);
    to_helper_.append(bytes);
    changed_.notify_all();
    return true;
  }
  std::optional<size_t> Read(char* data, size_t size, platform::Deadline deadline) override {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_until(lock, deadline, [&] { return !to_service_.empty() || ended_; })) {
      return std::nullopt;
    }
    size_t n = std::min(size, to_service_.size());
    to_service_.copy(data, n);
    to_service_.erase(0, n);
    return n;
  }
  bool Running() override {
    std::lock_guard lock(mutex_);
    return !ended_;
  }
  void Terminate() override {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      changed_.notify_all();
    }
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  uint32_t ProcessId() const override { return process_id_; }
  uint32_t SessionId() const override { return 1; }

  // The helper's end.
  size_t Read(char* data, size_t size) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !to_helper_.empty() || closed_; });
    size_t n = std::min(size, to_helper_.size());
    to_helper_.copy(data, n);
    to_helper_.erase(0, n);
    return n;
  }
  bool Write(std::string_view bytes) override {
    std::lock_guard lock(mutex_);
    to_service_.append(bytes);
    changed_.notify_all();
    return true;
  }

 private:
  uint32_t process_id_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string to_helper_;
  std::string to_service_;
  bool closed_ = false;
  bool ended_ = false;
  std::thread thread_;
};

class ThreadLauncher final : public platform::SessionLauncher {
 public:
  testing::FakeDesktop session_desktop;
  SilentMixer session_mixer;
  int launched = 0;
  std::optional<uint32_t> ConsoleSession() override { return 1; }
  platform::LaunchResult Launch() override {
    platform::LaunchResult result;
    result.outcome = platform::LaunchResult::Outcome::kStarted;
    launched += 1;
    result.process = std::make_unique<ThreadHelper>(static_cast<uint32_t>(200 + launched),
                                                    session_desktop, session_mixer);
    return result;
  }
  std::optional<std::string> TerminateInSession(uint32_t, uint32_t, uint32_t) override {
    return "not in this test";
  }
};

TEST(SlowDesktop, StartsAndBroadcastsThatTakeLongerThanTheAnswerBoundKeepTheHelper) {
  ThreadLauncher launcher;
  launcher.session_desktop.windows = {{10, 7, "Counter-Strike"}};
  launcher.session_desktop.start_takes = std::chrono::milliseconds(3000);
  launcher.session_desktop.broadcast_takes = std::chrono::milliseconds(3000);
  launcher.session_desktop.missing_files = {"C:\\nowhere\\game.exe"};
  std::mutex log_mutex;
  Lines log;
  HelperSupervisor session(launcher, [&](std::string_view line) {
    std::lock_guard lock(log_mutex);
    log.emplace_back(line);
  });
  HelperDesktop desktop(session);
  Programs programs(desktop, desktop, [&](std::string_view line) {
    std::lock_guard lock(log_mutex);
    log.emplace_back(line);
  });
  auto started = std::chrono::steady_clock::now();
  programs.Run("C:\\nowhere\\game.exe");
  desktop.BroadcastMonitorPower(platform::kMonitorOff);
  for (int i = 1; i < static_cast<int>(HandOffDesktop::kMaxPendingStarts); ++i) {
    programs.Run("notepad.exe");
  }
  programs.Run("calc.exe");  // one start too many
  std::vector<std::string> list;
  programs.ListWindows(list);
  EXPECT_EQ(list, Lines{"COUNTER-STRIKE"});
  // All answered at once, by the first helper.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2000));
  EXPECT_EQ(launcher.launched, 1);

  // The outcomes reach the log as the helper tells them.
  auto logged = [&](const std::string& line) {
    std::lock_guard lock(log_mutex);
    return std::count(log.begin(), log.end(), line);
  };
  const std::string missing =
      "run: C:\\nowhere\\game.exe not started (error 2): ShellExecuteEx "
      "C:\\nowhere\\game.exe: The system cannot find the file specified.";
  for (int i = 0; i < 200 && logged(missing) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    session.Upkeep();
  }
  EXPECT_EQ(logged(missing), 1);
  for (int i = 0; i < 200 && logged("run: notepad.exe started") < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    session.Upkeep();
  }
  EXPECT_EQ(logged("run: notepad.exe started"), 3);
  EXPECT_EQ(logged("run: calc.exe not started: 4 program starts still wait for the customer's "
                   "desktop (a prompt may wait for an answer there)"),
            1);
  EXPECT_EQ(launcher.launched, 1);
  Lines actions;
  for (int i = 0; i < 200 && std::count(actions.begin(), actions.end(), "MonitorPower 2") == 0;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    actions = launcher.session_desktop.Actions();
  }
  EXPECT_EQ(std::count(actions.begin(), actions.end(), "MonitorPower 2"), 1);
  EXPECT_EQ(std::count(actions.begin(), actions.end(), "ShellOpen calc.exe|||5"), 0);
}

class NoFiles final : public platform::StationFiles {
 public:
  std::string WindowsDirectory() override { return "C:\\WINDOWS"; }
  std::string Read(std::string_view) override { throw platform::PlatformError("no file"); }
  void Replace(std::string_view, std::string_view) override {}
  bool Remove(std::string_view) override { return false; }
};

struct SentReplies final : Replies {
  void SendText(const ReplyContext&, const std::string& text) override { sent.push_back(text); }
  Lines sent;
};

TEST_F(HelperSupervisorTest, TheServerSeesAFailedHelperAsAFailedCommand) {
  testing::MemoryRegistry registry;
  NoFiles files;
  SentReplies replies;
  AgentState state;
  launcher.session_mixer.controls = {true, true};
  StationActions station(
      state, replies,
      {registry, files, {desktop, desktop, desktop, service_desktop}, &mixer, nullptr, &session});
  CommandDispatcher agent(state, station, replies);
  state.settings.SetText(settings::Key::ServerIP, "10.0.0.1");
  auto receive = [&](const std::string& text) {
    replies.sent.clear();
    agent.DataReceived(text, {});
    return replies.sent;
  };
  // Each of the server's window commands is one request, however many windows.
  auto requests = [&] { return launcher.started.back()->requests; };
  const int asked = requests();
  EXPECT_EQ(receive("ACTION PROCESS"), (Lines{"PROCESS LIST:COUNTER-STRIKE,\xD8\xE0\xF5", "PING"}));
  EXPECT_EQ(requests(), asked + 1);
  state.settings.SetFlag(settings::Key::PlayGame, true);
  EXPECT_EQ(receive("ACTION INFO"), (Lines{"PLAYGAME=\xD8\xE0\xF5", "PING"}));
  EXPECT_EQ(requests(), asked + 2);
  for (Behaviour bad : {Behaviour::kGarbage, Behaviour::kHang}) {
    launcher.next = bad;
    session.SessionChanged();
    EXPECT_EQ(receive("ACTION PROCESS"), Lines{});
    EXPECT_EQ(receive("ACTION VOLUME 30"), Lines{});
  }
  // A session starts and ends all the same: the monitor and the lock are
  // not worth the hand-off and the restart.
  const std::string winlogon = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
  registry.SetString(winlogon, "ZalvoLogon", "1");
  state.settings.SetFlag(settings::Key::ShutDownMonitor, true);
  EXPECT_EQ(receive("ACTION SIT 30"), Lines{"PING"});
  EXPECT_EQ(registry.Dword(winlogon, "LocalTimer"), 1800u);
  state.remaining_seconds = 0;
  EXPECT_EQ(receive("ACTION STAND"), Lines{"PING"});
  EXPECT_EQ(registry.String(winlogon, "ZalvoLogon"), "0");
  EXPECT_EQ(service_desktop.actions, Lines{"ShutDownSystem restart"});

  launcher.next = Behaviour::kServe;
  launcher.logged_on = false;
  session.SessionChanged();
  EXPECT_EQ(receive("ACTION PROCESS"), (Lines{"PROCESS LIST:", "PING"}));
  EXPECT_EQ(receive("ACTION KILL COUNTER-STRIKE"), Lines{"PING"});
  EXPECT_EQ(receive("ACTION VOLUME 30"), Lines{"PING"});
  EXPECT_EQ(receive("ACTION MESSAGE \xCF\xF0\xE8\xE2\xE5\xF2"), Lines{"PING"});
  // The tick's upkeep starts a helper as soon as someone logs on.
  launcher.logged_on = true;
  size_t before = launcher.started.size();
  agent.Tick({});
  EXPECT_EQ(launcher.started.size(), before + 1);
  EXPECT_EQ(receive("ACTION KILL COUNTER-STRIKE"), Lines{"PING"});
  EXPECT_EQ(launcher.session_desktop.actions.back(), "TerminateProcess 7 0");
  EXPECT_EQ(receive("ACTION MESSAGE \xCF\xF0\xE8\xE2\xE5\xF2"), Lines{"PING"});
  EXPECT_EQ(launcher.session_desktop.actions.back(), "ShowMessage \xCF\xF0\xE8\xE2\xE5\xF2|30000");
}

// A helper that floods its channel (the customer can make it write without
// pause): every upkeep and every request reads a bounded number of frames,
// the helper is ended and replaced, the commands that don't need it are
// answered at once, and the log gets one line for the run of flooding
// helpers and at most kEventLinesPerMinute event lines a minute.
TEST_F(HelperSupervisorTest, AHelperThatFloodsItsChannelIsReplacedAndTheLogStaysBounded) {
  testing::MemoryRegistry registry;
  NoFiles files;
  SentReplies replies;
  AgentState state;
  StationActions station(
      state, replies,
      {registry, files, {desktop, desktop, desktop, service_desktop}, nullptr, nullptr, &session});
  CommandDispatcher agent(state, station, replies);
  state.settings.SetText(settings::Key::ServerIP, "10.0.0.1");
  state.settings.SetFlag(settings::Key::PlayGame, false);
  state.settings.SetFlag(settings::Key::FreeDisk, true);
  service_desktop.free_bytes = uint64_t{3} * 1048576;
  auto receive = [&](const std::string& text) {
    replies.sent.clear();
    agent.DataReceived(text, {});
    return replies.sent;
  };
  auto count = [&](const std::string& part) {
    return std::count_if(log.begin(), log.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    });
  };

  launcher.next = Behaviour::kFlood;
  agent.Tick({});  // starts the helper, which floods the upkeep
  ASSERT_EQ(launcher.started.size(), 1u);
  EXPECT_FALSE(launcher.Running(0));
  EXPECT_EQ(receive("ACTION PROCESS"), Lines{});  // the next one floods before its answer
  EXPECT_EQ(launcher.started.size(), 2u);
  EXPECT_FALSE(launcher.Running(1));
  for (int minute = 0; minute < 30; ++minute) {
    EXPECT_EQ(receive("ACTION INFO"), (Lines{"INFO  c:3MB", "PING"}));
    EXPECT_EQ(receive("ACTION STATE"),
              (Lines{"STATE 0 " + std::to_string(state.remaining_seconds), "PING"}));
    now += std::chrono::minutes(1);
    agent.Tick({});
  }
  EXPECT_GE(launcher.started.size(), 30u);  // each ended and replaced after its pause
  EXPECT_EQ(count("flooded its channel"), 1);
  EXPECT_EQ(count("run: C:\\flood.exe started"), HelperSupervisor::kEventLinesPerMinute * 31);
  EXPECT_LT(log.size(), 31u * (HelperSupervisor::kEventLinesPerMinute + 3));

  // Once the customer stops, a helper serves again and says how many were
  // ended.
  launcher.next = Behaviour::kServe;
  now += std::chrono::minutes(1);
  EXPECT_EQ(receive("ACTION PROCESS"), (Lines{"PROCESS LIST:COUNTER-STRIKE,\xD8\xE0\xF5", "PING"}));
  now += std::chrono::seconds(30);
  log.clear();
  EXPECT_EQ(receive("ACTION PROCESS").size(), 2u);
  EXPECT_EQ(count("serves again, after"), 1);
}

// A window list too long for one reply of the channel is cut after the last
// whole entry that fits, at the helper: the list is never refused whole.
TEST_F(HelperSupervisorTest, AWindowListTooLongForTheChannelIsCutAfterItsLastWholeEntry) {
  launcher.session_desktop.windows.clear();
  for (uint32_t i = 0; i < 3000; ++i) {
    launcher.session_desktop.windows.push_back(
        {1000 + i, 7, "w" + std::to_string(i) + std::string(200, 'x')});
  }
  std::vector<std::string> list = List();
  ASSERT_GT(list.size(), 1000u);
  ASSERT_LT(list.size(), 3000u);
  EXPECT_EQ(list.back().substr(0, 5), "W" + std::to_string(list.size() - 1));
}

}  // namespace
}  // namespace zalvo::agent
