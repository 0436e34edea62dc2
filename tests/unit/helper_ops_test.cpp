// The operations of the helper channel: each request and reply reads back as
// written, a payload cut short or with a byte too many is refused as a
// FrameError at either end, and the helper answers a request that does not
// read with a FrameError rather than a guess.
#include <gtest/gtest.h>

#include <set>

#include "agent/helper_loop.h"
#include "platform/mixer.h"
#include "protocol/helper_ops.h"
#include "tests/support/fake_desktop.h"

namespace zalvo::protocol::helper {
namespace {

class NoMixer final : public platform::Mixer {
 public:
  platform::SpeakerControls OpenSpeakerControls() override { return {}; }
  void SetVolumeLevels(platform::StereoLevels) override {}
  platform::StereoLevels VolumeLevels() override { return {}; }
  void SetMute(bool) override {}
};

// Every payload shorter than the message's, and the payload with one byte
// more, is refused.
template <typename Message>
void ExpectOnlyTheWholePayloadReads(const std::string& payload, Op op) {
  for (size_t n = 0; n < payload.size(); ++n) {
    EXPECT_THROW(Decode<Message>(payload.substr(0, n)), FrameError)
        << "op " << static_cast<int>(op) << ", " << n << " of " << payload.size() << " bytes";
  }
  EXPECT_THROW(Decode<Message>(payload + '\0'), FrameError) << "op " << static_cast<int>(op);
}

class HelperOps : public ::testing::Test {
 protected:
  template <typename Operation>
  void RoundTrip(const typename Operation::Request& request,
                 const typename Operation::Reply& reply) {
    const Op op = Operation::kOp;
    EXPECT_TRUE(checked_.insert(op).second) << "op " << static_cast<int>(op) << " twice";
    const std::string request_bytes = Encode(request);
    const std::string reply_bytes = Encode(reply);
    EXPECT_EQ(Decode<typename Operation::Request>(request_bytes), request)
        << "op " << static_cast<int>(op);
    EXPECT_EQ(Decode<typename Operation::Reply>(reply_bytes), reply)
        << "op " << static_cast<int>(op);
    ExpectOnlyTheWholePayloadReads<typename Operation::Request>(request_bytes, op);
    ExpectOnlyTheWholePayloadReads<typename Operation::Reply>(reply_bytes, op);

    // The helper refuses a request cut short rather than carry out a guess.
    if (!request_bytes.empty()) {
      Frame cut{static_cast<uint8_t>(op), 7, request_bytes.substr(0, request_bytes.size() - 1)};
      EXPECT_THROW(agent::AnswerRequest(cut, desktop_, mixer_), FrameError)
          << "op " << static_cast<int>(op);
    }
  }

  std::set<Op> checked_;
  testing::FakeDesktop desktop_;
  NoMixer mixer_;
};

TEST_F(HelperOps, EveryRequestAndReplyReadsBackAsWrittenAndNothingElseReads) {
  const std::string cp1251 = "\xD8\xE0\xF5 - \xEF\xE0\xF0\xF2\xE8\xFF";
  RoundTrip<WindowList>({},
                        {{{1, "Counter-Strike"}, {0x20002, ""}, {0xFFFF'0000'1234'5678, cp1251}}});
  RoundTrip<ForegroundWindow>({}, {0xFFFF'0000'1234'5678, cp1251});
  RoundTrip<FindWindow>({cp1251}, {0x10010});
  RoundTrip<WindowProcessId>({0x10010}, {4242});
  RoundTrip<TerminateProcess>({4242, 0xC000013A}, {true});
  RoundTrip<EndWindowOwner>({"Counter-Strike", 3}, {4242, true});
  RoundTrip<ShellOpen>({"C:\\Games\\cs.exe", "-game cstrike", "C:\\Games\\", 5}, {true});
  RoundTrip<LockWorkStation>({}, {true});
  RoundTrip<MonitorPower>({-1}, {});
  RoundTrip<SetCursor>({-1920, 1080}, {});
  RoundTrip<MessageBeep>({0x30}, {});
  RoundTrip<OpenSpeakers>({}, {true, true});
  RoundTrip<SetVolumeLevels>({65535, 2621}, {});
  RoundTrip<VolumeLevels>({}, {32767, 1});
  RoundTrip<SetMute>({true}, {});
  RoundTrip<LockLockScreens>({}, {2, 1});
  RoundTrip<ShowMessage>({cp1251, 30000}, {true});
  EXPECT_EQ(checked_.size(), std::tuple_size_v<Operations>) << "an operation is not checked here";

  // A list's count past what the payload holds is refused before anything
  // is made for it; so is a text that runs past the payload.
  EXPECT_THROW(Decode<WindowList::Reply>(Fields().U32(0xFFFFFFFF).U64(1).Text("").bytes()),
               FrameError);
  EXPECT_THROW(Decode<ForegroundWindow::Reply>(Fields().U64(1).U32(0xFFFFFFFF).bytes() + "ab"),
               FrameError);
}

}  // namespace
}  // namespace zalvo::protocol::helper
