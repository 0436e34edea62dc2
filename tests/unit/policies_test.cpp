#include <gtest/gtest.h>

#include "settings/policies.h"
#include "settings/registry_names.h"
#include "tests/support/memory_registry.h"

namespace zalvo::settings {
namespace {

using platform::Hive;
using testing::MemoryRegistry;

const std::string kSystem = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
const std::string kNetwork =
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Network";
const std::string kExplorer =
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const std::string kInternet =
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const std::string kMain = "HKCU\\Software\\Microsoft\\Internet Explorer\\Main";
const std::string kZalvo = "HKCU\\Software\\Kav\\Zalvo";
const std::string kMachineNetwork =
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Network";

std::vector<std::string> Names(const PolicyGroup& g) {
  std::vector<std::string> names;
  for (const PolicyValue& v : g.writes) {
    names.push_back(v.name);
  }
  return names;
}

const PolicyGroup* GroupOf(const std::vector<PolicyGroup>& plan, Hive hive, std::string_view path) {
  for (const PolicyGroup& g : plan) {
    if (g.hive == hive && g.path == path) {
      return &g;
    }
  }
  return nullptr;
}

TEST(PolicyPlan, AgentWritesTheGroupsInOrderWithTheirValues) {
  StationSettings s;
  s.SetFlag(Key::NoAutomatProxy, true);
  s.SetText(Key::StartPage, "http://portal/");
  auto plan = BuildPolicyPlan(s, "10.0.0.1", PolicyVariant::kAgent);
  ASSERT_EQ(plan.size(), 7u);
  EXPECT_EQ(plan[0].path, "Software\\Kav\\Zalvo");
  EXPECT_EQ(plan[0].writes, std::vector<PolicyValue>{PolicyValue::String("ServerIP", "10.0.0.1")});
  EXPECT_EQ(plan[1].path, "Software\\Microsoft\\Internet Explorer\\Main");
  EXPECT_EQ(plan[1].writes,
            std::vector<PolicyValue>{PolicyValue::String("Start Page", "http://portal/")});
  EXPECT_EQ(Names(plan[2]),
            (std::vector<std::string>{"ProxyEnable", "ProxyServer", "ProxyOverride"}));
  EXPECT_EQ(Names(plan[3]),
            (std::vector<std::string>{"NoDispCPL", "NoDispBackgroundPage", "NoDispScrSavPage",
                                      "NoDispAppearancePage", "NoDispSettingsPage", "NoSecCPL",
                                      "DisableRegistryTools"}));
  EXPECT_EQ(Names(plan[4]), (std::vector<std::string>{"NoEntireNetwork", "NoNetSetup"}));
  EXPECT_EQ(Names(plan[5]),
            (std::vector<std::string>{"LinkResolveIgnoreLinkInfo", "NoClose", "NoSaveSettings",
                                      "NoDrives", "NoNetHood", "NoFileMenu", "NoFind",
                                      "NoSetFolders", "NoRun", "NoSetTaskBar", "RestrictRun"}));
  EXPECT_EQ(plan[6].hive, Hive::kLocalMachine);
  EXPECT_TRUE(plan[6].create);
  EXPECT_EQ(Names(plan[6]), std::vector<std::string>{"DisablePwdCaching"});
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(plan[i].hive, Hive::kCurrentUser);
    EXPECT_FALSE(plan[i].create) << plan[i].path;
    EXPECT_TRUE(plan[i].read_value.empty());
  }
}

TEST(PolicyPlan, FlagsFanOutAndRenameAsTheTableSays) {
  StationSettings on;
  for (Key k :
       {Key::NoDispCPL, Key::NoPasswords, Key::NoDrives, Key::DisabledPassword, Key::RestrictRun}) {
    on.SetFlag(k, true);
  }
  auto plan = BuildPolicyPlan(on, "", PolicyVariant::kAgent);
  const PolicyGroup* system = GroupOf(plan, Hive::kCurrentUser, kSystem.substr(5));
  ASSERT_NE(system, nullptr);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(system->writes[i].dword, 1u) << system->writes[i].name;
  }
  EXPECT_EQ(system->writes[5].dword, 1u);  // NoSecCPL from NoPasswords
  EXPECT_EQ(system->writes[6].dword, 0u);
  const PolicyGroup* explorer = GroupOf(plan, Hive::kCurrentUser, kExplorer.substr(5));
  EXPECT_EQ(explorer->writes[3], PolicyValue::Dword("NoDrives", 7));
  EXPECT_EQ(explorer->writes[10], PolicyValue::Dword("RestrictRun", 1));
  EXPECT_EQ(plan.back().writes[0], PolicyValue::Dword("DisablePwdCaching", 1));

  auto off = BuildPolicyPlan(StationSettings(), "", PolicyVariant::kAgent);
  for (const PolicyGroup& g : off) {
    for (const PolicyValue& v : g.writes) {
      if (v.type == PolicyValue::Type::kDword) {
        EXPECT_EQ(v.dword, 0u) << v.name;  // NoDrives off writes 0, not 7
      }
    }
  }
}

TEST(PolicyPlan, ProxyAddressIsServerColonPortWhateverTheyHold) {
  StationSettings s;
  s.SetFlag(Key::NoAutomatProxy, true);
  s.SetFlag(Key::ProxyEnable, true);
  s.SetText(Key::ProxyPort, "8080");
  s.SetText(Key::ProxyOverride, "a;b");
  auto plan = BuildPolicyPlan(s, "", PolicyVariant::kAgent);
  EXPECT_EQ(plan[2].writes[0], PolicyValue::Dword("ProxyEnable", 1));
  EXPECT_EQ(plan[2].writes[1], PolicyValue::String("ProxyServer", ":8080"));
  EXPECT_EQ(plan[2].writes[2], PolicyValue::String("ProxyOverride", "a;b"));
  s.SetText(Key::ProxyServer, "proxy");
  s.SetText(Key::ProxyPort, "");
  plan = BuildPolicyPlan(s, "", PolicyVariant::kAgent);
  EXPECT_EQ(plan[2].writes[1], PolicyValue::String("ProxyServer", "proxy:"));
}

TEST(PolicyPlan, TheTwoProgramsOpenTheProxyGateInOppositeSenses) {
  StationSettings ticked;
  ticked.SetFlag(Key::NoAutomatProxy, true);
  StationSettings unticked;
  const std::string internet = kInternet.substr(5);
  EXPECT_NE(
      GroupOf(BuildPolicyPlan(ticked, "", PolicyVariant::kAgent), Hive::kCurrentUser, internet),
      nullptr);
  EXPECT_EQ(
      GroupOf(BuildPolicyPlan(unticked, "", PolicyVariant::kAgent), Hive::kCurrentUser, internet),
      nullptr);
  EXPECT_EQ(GroupOf(BuildPolicyPlan(ticked, "", PolicyVariant::kLockScreen), Hive::kCurrentUser,
                    internet),
            nullptr);
  EXPECT_NE(GroupOf(BuildPolicyPlan(unticked, "", PolicyVariant::kLockScreen), Hive::kCurrentUser,
                    internet),
            nullptr);
}

TEST(PolicyPlan, LockScreenReadsTheWallpaperAndWritesTheSearchPageFirst) {
  StationSettings s;
  s.SetText(Key::StartPage, "http://start/");
  auto plan = BuildPolicyPlan(s, "1.2.3.4", PolicyVariant::kLockScreen);
  ASSERT_GE(plan.size(), 3u);
  EXPECT_EQ(plan[1].path, "Control Panel\\desktop");
  EXPECT_EQ(plan[1].read_value, "Wallpaper");
  EXPECT_TRUE(plan[1].writes.empty());
  EXPECT_EQ(plan[2].writes, (std::vector<PolicyValue>{
                                PolicyValue::String("Search Page", std::string(kSearchPageUrl)),
                                PolicyValue::String("Start Page", "http://start/")}));
  auto agent = BuildPolicyPlan(s, "1.2.3.4", PolicyVariant::kAgent);
  EXPECT_EQ(GroupOf(agent, Hive::kCurrentUser, "Control Panel\\desktop"), nullptr);
  EXPECT_EQ(agent[1].writes.size(), 1u);
}

class ApplyPolicies : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& k : {kZalvo, kMain, kInternet, kSystem, kNetwork, kExplorer}) {
      registry.AddKey(k);
    }
    settings.SetFlag(Key::NoAutomatProxy, true);
    settings.SetFlag(Key::NoDrives, true);
    settings.SetText(Key::ProxyServer, "p");
    settings.SetText(Key::ProxyPort, "1");
  }
  std::optional<platform::PlatformError> Apply() {
    return ApplyPolicyPlan(registry, BuildPolicyPlan(settings, "9.9.9.9", PolicyVariant::kAgent));
  }
  MemoryRegistry registry;
  StationSettings settings;
};

TEST_F(ApplyPolicies, WritesEveryValueWithItsTypeAndCreatesTheMachineKey) {
  EXPECT_EQ(Apply(), std::nullopt);
  EXPECT_EQ(registry.String(kZalvo, "ServerIP"), "9.9.9.9");
  EXPECT_EQ(registry.String(kInternet, "ProxyServer"), "p:1");
  EXPECT_EQ(registry.Dword(kInternet, "ProxyEnable"), 0u);
  EXPECT_EQ(registry.Dword(kExplorer, "NoDrives"), 7u);
  EXPECT_EQ(registry.Dword(kMachineNetwork, "DisablePwdCaching"), 0u);
  EXPECT_EQ(registry.writes().size(), 1u + 1 + 3 + 7 + 2 + 11 + 1);
}

TEST_F(ApplyPolicies, MissingCurrentUserKeysSkipTheirGroupsAndAreNotCreated) {
  MemoryRegistry bare;
  bare.AddKey(kZalvo);
  bare.AddKey(kExplorer);
  EXPECT_EQ(ApplyPolicyPlan(bare, BuildPolicyPlan(settings, "x", PolicyVariant::kAgent)),
            std::nullopt);
  EXPECT_FALSE(bare.HasKey(kSystem));
  EXPECT_FALSE(bare.HasKey(kNetwork));
  EXPECT_FALSE(bare.HasKey(kInternet));
  EXPECT_EQ(bare.Dword(kExplorer, "RestrictRun"), 0u);
  EXPECT_EQ(bare.Dword(kMachineNetwork, "DisablePwdCaching"), 0u);
  registry.DenyOpen(kSystem);  // refused access counts as missing
  EXPECT_EQ(Apply(), std::nullopt);
  EXPECT_EQ(registry.Dword(kSystem, "NoDispCPL"), std::nullopt);
  EXPECT_EQ(registry.Dword(kNetwork, "NoNetSetup"), 0u);
}

TEST_F(ApplyPolicies, ARefusedWriteEndsThePassKeepingWhatWasWritten) {
  registry.DenyWrite(kInternet, "ProxyEnable");
  EXPECT_NE(Apply(), std::nullopt);
  EXPECT_EQ(registry.String(kZalvo, "ServerIP"), "9.9.9.9");
  EXPECT_EQ(registry.String(kMain, "Start Page"), "");
  EXPECT_EQ(registry.Dword(kSystem, "NoDispCPL"), std::nullopt);
  EXPECT_EQ(registry.Dword(kExplorer, "NoDrives"), std::nullopt);
  EXPECT_FALSE(registry.HasKey(kMachineNetwork));
}

TEST_F(ApplyPolicies, KeysThisAccountMayOnlyReadEndThePassAsARefusal) {
  // A standard account: its Policies keys and the machine's hive are
  // read-only to it.
  registry.ReadOnly(kSystem);
  registry.ReadOnly("HKLM");
  auto failure = Apply();
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->kind(), platform::ErrorKind::kAccessDenied);
  EXPECT_NE(std::string(failure->what()).find("Policies\\System"), std::string::npos);
  EXPECT_EQ(registry.String(kInternet, "ProxyServer"), "p:1");  // written before it
  EXPECT_EQ(registry.Dword(kExplorer, "NoDrives"), std::nullopt);

  MemoryRegistry machine;
  for (const std::string& k : {kZalvo, kMain, kInternet, kSystem, kNetwork, kExplorer}) {
    machine.AddKey(k);
  }
  machine.ReadOnly("HKLM");
  failure = ApplyPolicyPlan(machine, BuildPolicyPlan(settings, "x", PolicyVariant::kAgent));
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->kind(), platform::ErrorKind::kAccessDenied);
  EXPECT_EQ(machine.Dword(kExplorer, "NoDrives"), 7u);
  // Every key was asked for writing only.
  for (const std::string& open : machine.opens()) {
    EXPECT_EQ(open.substr(open.rfind(' ')), " write") << open;
  }
}

TEST_F(ApplyPolicies, TheReadValueGoesToTheCallerAndAWrongTypeEndsThePass) {
  registry.AddKey("HKCU\\Control Panel\\desktop");
  std::vector<std::string> read;
  auto plan = BuildPolicyPlan(settings, "x", PolicyVariant::kLockScreen);
  EXPECT_EQ(ApplyPolicyPlan(registry, plan, [&](const std::string& v) { read.push_back(v); }),
            std::nullopt);
  EXPECT_EQ(read, std::vector<std::string>{""});  // a missing value reads as empty text
  registry.SetString("HKCU\\Control Panel\\desktop", "Wallpaper", "C:\\w.bmp");
  EXPECT_EQ(ApplyPolicyPlan(registry, plan, [&](const std::string& v) { read.push_back(v); }),
            std::nullopt);
  EXPECT_EQ(read.back(), "C:\\w.bmp");
  registry.SetWrongType("HKCU\\Control Panel\\desktop", "Wallpaper");
  EXPECT_NE(ApplyPolicyPlan(registry, plan), std::nullopt);
}

}  // namespace
}  // namespace zalvo::settings
