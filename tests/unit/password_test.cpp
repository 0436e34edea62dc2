// The passwords kept by the station's service: the hashes and their store,
// the take-over of krv.krv and of the customer's hive, the spacing of wrong
// tries, and the lock screen asking the service over the channel's messages
// (the pipe itself is checked under Wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "agent/password_service.h"
#include "agent/password_store.h"
#include "platform/error.h"
#include "protocol/password_ops.h"
#include "settings/passwords.h"
#include "settings/registry_names.h"
#include "tests/support/memory_files.h"
#include "tests/support/memory_registry.h"
#include "tests/unit/lockscreen_fakes.h"

namespace zalvo::agent {
namespace {

namespace wire = protocol::passwords;
using lockscreen::Ctl;
using platform::Access;
using platform::Hive;
using std::chrono::seconds;
using testing::MemoryFiles;
using testing::MemoryRegistry;

const std::string kStore = "HKLM\\" + std::string(kPasswordKeyPath);
const std::string kCopies = "HKCU\\" + std::string(settings::kZalvoKey);
const std::string kKrv = "C:\\WINDOWS\\krv.krv";
constexpr uint32_t kCheap = 10;

// Another view of a test's registry, as the customer's hive is chosen anew.
class Borrowed final : public platform::Registry {
 public:
  explicit Borrowed(MemoryRegistry& registry) : registry_(registry) {}
  std::unique_ptr<platform::RegistryKey> Open(Hive hive, std::string_view path,
                                              Access access) override {
    return registry_.Open(hive, path, access);
  }
  std::unique_ptr<platform::RegistryKey> Create(Hive hive, std::string_view path,
                                                Access access) override {
    return registry_.Create(hive, path, access);
  }

 private:
  MemoryRegistry& registry_;
};

// The customer account's hive: its HKEY_CURRENT_USER once loaded.
class CustomerHive final : public platform::CustomerRegistry {
 public:
  explicit CustomerHive(MemoryRegistry& registry) : registry_(registry) {}
  Choice Choose() override { return {std::make_unique<Borrowed>(registry_), "the customer's"}; }

 private:
  MemoryRegistry& registry_;
};

// A station's service with cheap hashes, a clock the test moves, and the
// lock screen's channel to it.
struct ServiceRig {
  MemoryRegistry registry;
  MemoryFiles files;
  CustomerHive customer{registry};
  PasswordStore store{registry, {kCheap, {}}};
  TrySpacing::Clock::time_point now{};
  std::vector<std::string> log;
  PasswordService service{{store, files, &customer},
                          [this](std::string_view line) { log.emplace_back(line); },
                          [this] { return now; }};

  bool Matches(PasswordKind kind, std::string_view password) {
    std::optional<PasswordHash> hash = store.Hash(kind);
    return hash && PasswordMatches(*hash, password);
  }
  std::string Kept(std::string_view value) {
    return registry.String(kStore, std::string(value)).value_or("");
  }
  wire::Reply LogIn(const std::string& user, const std::string& password) {
    return service.LogIn({user, password});
  }
};

// The channel as the lock screen sees it: the mark is the store's key, and
// every request goes to the service as bytes.
class ServiceChannel final : public platform::PasswordChannel {
 public:
  explicit ServiceChannel(ServiceRig& station) : station_(station) {}
  bool reachable = true;
  bool ServiceKeepsPasswords() override { return station_.registry.HasKey(kStore); }
  std::string Exchange(std::string_view request) override {
    if (!reachable) {
      throw platform::PlatformError("the service's password channel is not there",
                                    platform::ErrorKind::kNotFound);
    }
    return station_.service.Answer(request);
  }

 private:
  ServiceRig& station_;
};

TEST(PasswordHash, CarriesItsCountAndSaltAndMatchesOnlyItsPassword) {
  const PasswordHash hash = HashPassword("\xE0\xE4\xEC\xE8\xED", kCheap);
  const std::string text = FormatPasswordHash(hash);
  EXPECT_EQ(text.rfind("pbkdf2-sha256$10$", 0), 0u) << text;
  EXPECT_EQ(text.size(), std::string("pbkdf2-sha256$10$").size() + 32 + 1 + 64);
  std::optional<PasswordHash> read = ParsePasswordHash(text);
  ASSERT_TRUE(read);
  EXPECT_TRUE(PasswordMatches(*read, "\xE0\xE4\xEC\xE8\xED"));
  EXPECT_FALSE(PasswordMatches(*read, "\xE0\xE4\xEC\xE8"));
  EXPECT_FALSE(PasswordMatches(*read, ""));
  // Each hash has a salt of its own.
  EXPECT_NE(FormatPasswordHash(HashPassword("same", kCheap)),
            FormatPasswordHash(HashPassword("same", kCheap)));
  for (const char* bad : {"", "qwmzvk", "pbkdf2-sha256$0$", "pbkdf2-sha1$10$00$00",
                          "pbkdf2-sha256$$00000000000000000000000000000000$",
                          "pbkdf2-sha256$10$0000000000000000000000000000000g$"}) {
    EXPECT_FALSE(ParsePasswordHash(bad)) << bad;
  }
  EXPECT_FALSE(ParsePasswordHash(text.substr(0, text.size() - 1)));
  EXPECT_FALSE(ParsePasswordHash(text + "0"));
}

TEST(PasswordTakeOver, KrvKrvAndTheCustomersHiveBecomeHashesAndTheirCopiesGo) {
  ServiceRig rig;
  rig.files.files[kKrv] = "p=adm1n\r\nps=\r\n";
  rig.registry.SetString(kCopies, "ZalvoPassword", settings::ScramblePassword("hive-adm"));
  rig.registry.SetString(kCopies, "SmallPassword", settings::ScramblePassword("1357"));
  rig.registry.SetString(kCopies, "ServerIP", "10.0.0.1");
  // At the first start the customer is not logged on: its hive waits.
  rig.service.Start();
  EXPECT_TRUE(rig.registry.HasKey(kStore));
  EXPECT_EQ(rig.files.files.count(kKrv), 0u);
  EXPECT_TRUE(rig.Matches(PasswordKind::kAdmin, "adm1n"));
  EXPECT_EQ(rig.store.Hash(PasswordKind::kSmall), std::nullopt);
  EXPECT_EQ(rig.Kept(kAdminPasswordValue).rfind("pbkdf2-sha256$10$", 0), 0u);
  EXPECT_TRUE(rig.registry.String(kCopies, "SmallPassword"));

  // Loaded: krv.krv's administrator password stays over the hive's, the
  // hive's small one is taken; both copies go, the address stays.
  rig.registry.AddKey("HKCU\\Software");
  rig.service.Upkeep();
  EXPECT_TRUE(rig.Matches(PasswordKind::kAdmin, "adm1n"));
  EXPECT_TRUE(rig.Matches(PasswordKind::kSmall, "1357"));
  EXPECT_FALSE(rig.registry.String(kCopies, "ZalvoPassword"));
  EXPECT_FALSE(rig.registry.String(kCopies, "SmallPassword"));
  EXPECT_EQ(rig.registry.String(kCopies, "ServerIP"), "10.0.0.1");
  EXPECT_EQ(rig.registry.Dword(kStore, std::string(kCustomerCopiesValue)), 1u);
  // Nothing kept is the password itself.
  for (const char* value : {"AdminPassword", "SmallPassword"}) {
    EXPECT_EQ(rig.Kept(value).find("1357"), std::string::npos);
    EXPECT_EQ(rig.Kept(value).find("adm1n"), std::string::npos);
  }

  // A copy the customer writes later is deleted, never taken.
  rig.registry.SetString(kCopies, "SmallPassword", settings::ScramblePassword("0000"));
  rig.service.Upkeep();
  EXPECT_FALSE(rig.registry.String(kCopies, "SmallPassword"));
  EXPECT_TRUE(rig.Matches(PasswordKind::kSmall, "1357"));
  EXPECT_FALSE(rig.Matches(PasswordKind::kSmall, "0000"));

  // A later krv.krv, an administrator's, replaces what it names. One that
  // can't be deleted is taken over once, not hashed again at every upkeep.
  rig.files.files[kKrv] = "ps=2468\r\n";
  rig.files.refuse_writes = true;
  rig.service.Upkeep();
  EXPECT_TRUE(rig.Matches(PasswordKind::kSmall, "2468"));
  const std::string kept = rig.Kept(kSmallPasswordValue);
  rig.service.Upkeep();
  EXPECT_EQ(rig.Kept(kSmallPasswordValue), kept);
  EXPECT_EQ(std::count_if(rig.log.begin(), rig.log.end(),
                          [](const std::string& line) {
                            return line.find("krv.krv not taken over") != std::string::npos;
                          }),
            1);
  rig.files.refuse_writes = false;
  rig.service.Upkeep();
  EXPECT_EQ(rig.files.files.count(kKrv), 0u);
}

TEST(PasswordService, AnswersTheThreeLogInsAndSpacesOutWrongTries) {
  ServiceRig rig;
  rig.service.Start();
  // No password kept: nothing opens, the built-in ones least of all.
  for (const char* password : {"qwmzvk", "tewl", "5", "7", ""}) {
    rig.now += seconds(60);
    EXPECT_EQ(rig.LogIn("1", password).answer, wire::Answer::kRefused) << password;
  }
  EXPECT_TRUE(std::any_of(rig.log.begin(), rig.log.end(), [](const std::string& line) {
    return line.find("no administrator password is kept") != std::string::npos;
  }));
  rig.store.Keep(PasswordKind::kAdmin, "adm1n");
  rig.store.Keep(PasswordKind::kSmall, "1357");
  rig.now += seconds(60);

  EXPECT_EQ(rig.LogIn("1", "1357"), (wire::Reply{wire::Answer::kUnlock, 0}));
  EXPECT_EQ(rig.LogIn("", "adm1n"), (wire::Reply{wire::Answer::kUnlockAndSettings, 0}));
  EXPECT_EQ(rig.LogIn("anyone", "adm1n").answer, wire::Answer::kUnlockAndSettings);
  // The small password goes with the name "1" alone.
  EXPECT_EQ(rig.LogIn(" 1", "1357"), (wire::Reply{wire::Answer::kRefused, 1}));
  // Too soon: not checked, even when right.
  EXPECT_EQ(rig.LogIn("1", "1357"), (wire::Reply{wire::Answer::kTooSoon, 1}));
  rig.now += seconds(1);
  EXPECT_EQ(rig.LogIn("1", "1357").answer, wire::Answer::kUnlock);
  // A run of wrong tries waits 1, 2, 4 ... seconds, at most 30.
  const uint32_t pauses[] = {1, 2, 4, 8, 16, 30, 30};
  for (uint32_t pause : pauses) {
    EXPECT_EQ(rig.LogIn("1", "qwmzvk"), (wire::Reply{wire::Answer::kRefused, pause}));
    rig.now += seconds(pause - 1);
    EXPECT_EQ(rig.LogIn("", "adm1n").answer, wire::Answer::kTooSoon);
    rig.now += seconds(1);
  }
  EXPECT_EQ(rig.LogIn("", "adm1n").answer, wire::Answer::kUnlockAndSettings);
  EXPECT_EQ(rig.LogIn("1", "wrong"), (wire::Reply{wire::Answer::kRefused, 1}));

  // A request that can't be read is refused and counts as no try.
  rig.now += seconds(1);
  EXPECT_EQ(wire::DecodeReply(rig.service.Answer("ZP\x01\x01garbage")).answer,
            wire::Answer::kRefused);
  EXPECT_EQ(wire::DecodeReply(rig.service.Answer(std::string(4096, 'Z'))).answer,
            wire::Answer::kRefused);
  EXPECT_EQ(
      wire::DecodeReply(rig.service.Answer(wire::EncodeRequest(wire::LogIn{"1", "1357"}))).answer,
      wire::Answer::kUnlock);

  // The change needs the administrator password, and a password the dialog
  // could take.
  EXPECT_EQ(rig.service.Change({"1357", wire::Which::kSmall, "2468"}).answer,
            wire::Answer::kRefused);
  rig.now += seconds(1);
  for (const char* bad : {"", "123456789", "a\r\nb"}) {
    EXPECT_EQ(rig.service.Change({"adm1n", wire::Which::kSmall, bad}).answer,
              wire::Answer::kInvalid);
  }
  EXPECT_EQ(rig.service.Change({"adm1n", wire::Which::kAdmin, "n3w"}).answer,
            wire::Answer::kChanged);
  EXPECT_EQ(rig.LogIn("", "n3w").answer, wire::Answer::kUnlockAndSettings);
  EXPECT_EQ(rig.LogIn("", "adm1n").answer, wire::Answer::kRefused);
}

TEST(LockScreenWithTheService, HandsEveryLogInToTheServiceAndUnlocksOnlyAtItsWord) {
  ServiceRig station;
  station.files.files[kKrv] = "p=adm1n\r\nps=1357\r\n";
  station.service.Start();
  ServiceChannel channel(station);
  lockscreen::testing::LockScreenRig rig(&channel);
  // What the lock screen would have taken without the service.
  rig.files.files[kKrv] = "p=plain\r\nps=2\r\n";
  rig.screen.Start();
  rig.screen.Lock();
  ASSERT_TRUE(rig.main.covering);

  for (const char* password : {"qwmzvk", "tewl", "plain", "2", "5", "7"}) {
    station.now += seconds(60);
    rig.screen.Login("1", password);
    EXPECT_TRUE(rig.main.covering) << password;
    EXPECT_FALSE(rig.dialog_view.visible) << password;
  }
  station.now += seconds(60);
  rig.screen.Login("1", "1357");
  EXPECT_FALSE(rig.main.covering);
  EXPECT_EQ(rig.AutoAdminLogon(), "1");

  // The administrator password opens the dialog, whose password change goes
  // to the service with it.
  rig.screen.Lock();
  rig.dialog_view.while_shown = [&] {
    rig.dialog().SetChecked(Ctl::cbPassAdmin, true);
    rig.dialog().SetText(Ctl::edNewPassword, "n3w");
    rig.dialog().SetText(Ctl::edNewPassword1, "n3w");
    rig.screen.SaveSettings();
  };
  rig.screen.Login("", "adm1n");
  EXPECT_EQ(rig.dialog_view.shown_sizes.size(), 1u);
  EXPECT_TRUE(rig.main.errors.empty());
  EXPECT_TRUE(station.Matches(PasswordKind::kAdmin, "n3w"));
  EXPECT_FALSE(rig.registry.String(lockscreen::testing::kZalvo, "ZalvoPassword"));
  // The entries outlive the dialog: the proxy command changes no password.
  rig.dialog_view.while_shown = {};
  rig.screen.ToggleProxy();
  EXPECT_TRUE(station.Matches(PasswordKind::kAdmin, "n3w"));
  EXPECT_TRUE(rig.main.errors.empty());

  // A service that can't be asked unlocks nothing, the built-in passwords
  // included.
  rig.screen.Lock();
  channel.reachable = false;
  for (const char* password : {"qwmzvk", "tewl", "n3w", "1357"}) {
    rig.screen.Login("1", password);
    EXPECT_TRUE(rig.main.covering) << password;
  }
  EXPECT_NE(rig.log.back().find("log-in refused: the station's service checks the passwords"),
            std::string::npos)
      << rig.log.back();
}

}  // namespace
}  // namespace zalvo::agent
