#include "settings/policies.h"

#include "platform/error.h"
#include "settings/registry_names.h"

namespace zalvo::settings {
namespace {

using platform::Hive;

constexpr std::string_view kPolicies = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\";

PolicyValue Flag(std::string name, const StationSettings& s, Key key) {
  return PolicyValue::Dword(std::move(name), s.Flag(key) ? 1 : 0);
}

}  // namespace

PolicyValue PolicyValue::String(std::string name, std::string text) {
  PolicyValue v;
  v.name = std::move(name);
  v.type = Type::kString;
  v.text = std::move(text);
  return v;
}

PolicyValue PolicyValue::Dword(std::string name, uint32_t value) {
  PolicyValue v;
  v.name = std::move(name);
  v.type = Type::kDword;
  v.dword = value;
  return v;
}

std::vector<PolicyGroup> BuildPolicyPlan(const StationSettings& s, std::string_view server_ip,
                                         PolicyVariant variant) {
  const bool lock_screen = variant == PolicyVariant::kLockScreen;
  std::vector<PolicyGroup> plan;

  plan.push_back({Hive::kCurrentUser,
                  std::string(kZalvoKey),
                  false,
                  "",
                  {PolicyValue::String(std::string(kServerIPValue), std::string(server_ip))}});

  if (lock_screen) {
    plan.push_back({Hive::kCurrentUser, "Control Panel\\desktop", false, "Wallpaper", {}});
  }

  PolicyGroup browser{
      Hive::kCurrentUser, "Software\\Microsoft\\Internet Explorer\\Main", false, "", {}};
  if (lock_screen) {
    browser.writes.push_back(
        PolicyValue::String(std::string(kSearchPageValue), std::string(kSearchPageUrl)));
  }
  browser.writes.push_back(PolicyValue::String("Start Page", s.Text(Key::StartPage)));
  plan.push_back(std::move(browser));

  // The two programs open the proxy gate in opposite senses.
  const bool proxy_gate_open =
      lock_screen ? !s.Flag(Key::NoAutomatProxy) : s.Flag(Key::NoAutomatProxy);
  if (proxy_gate_open) {
    plan.push_back({Hive::kCurrentUser,
                    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                    false,
                    "",
                    {Flag("ProxyEnable", s, Key::ProxyEnable),
                     PolicyValue::String("ProxyServer",
                                         s.Text(Key::ProxyServer) + ":" + s.Text(Key::ProxyPort)),
                     PolicyValue::String("ProxyOverride", s.Text(Key::ProxyOverride))}});
  }

  plan.push_back(
      {Hive::kCurrentUser,
       std::string(kPolicies) + "System",
       false,
       "",
       {Flag("NoDispCPL", s, Key::NoDispCPL), Flag("NoDispBackgroundPage", s, Key::NoDispCPL),
        Flag("NoDispScrSavPage", s, Key::NoDispCPL),
        Flag("NoDispAppearancePage", s, Key::NoDispCPL),
        Flag("NoDispSettingsPage", s, Key::NoDispCPL), Flag("NoSecCPL", s, Key::NoPasswords),
        Flag("DisableRegistryTools", s, Key::DisableRegistryTools)}});

  plan.push_back(
      {Hive::kCurrentUser,
       std::string(kPolicies) + "Network",
       false,
       "",
       {Flag("NoEntireNetwork", s, Key::NoEntireNetwork), Flag("NoNetSetup", s, Key::NoNetSetup)}});

  plan.push_back({Hive::kCurrentUser,
                  std::string(kPolicies) + "Explorer",
                  false,
                  "",
                  {Flag("LinkResolveIgnoreLinkInfo", s, Key::LinkResolveIgnoreLinkInfo),
                   Flag("NoClose", s, Key::NoClose), Flag("NoSaveSettings", s, Key::NoSaveSettings),
                   // Drives A, B and C: bits 0 to 2.
                   PolicyValue::Dword("NoDrives", s.Flag(Key::NoDrives) ? 7 : 0),
                   Flag("NoNetHood", s, Key::NoNetHood), Flag("NoFileMenu", s, Key::NoFileMenu),
                   Flag("NoFind", s, Key::NoFind), Flag("NoSetFolders", s, Key::NoSetFolders),
                   Flag("NoRun", s, Key::NoRun), Flag("NoSetTaskBar", s, Key::NoSetTaskBar),
                   Flag("RestrictRun", s, Key::RestrictRun)}});

  plan.push_back({Hive::kLocalMachine,
                  std::string(kPolicies) + "Network",
                  true,
                  "",
                  {Flag("DisablePwdCaching", s, Key::DisabledPassword)}});
  return plan;
}

std::optional<platform::PlatformError> ApplyPolicyPlan(
    platform::Registry& registry, const std::vector<PolicyGroup>& plan,
    const std::function<void(const std::string&)>& on_read) {
  using platform::Access;
  for (const PolicyGroup& group : plan) {
    const bool reads = !group.read_value.empty();
    const bool writes = !group.writes.empty();
    const Access access = !reads ? Access::kWrite : writes ? Access::kReadWrite : Access::kRead;
    auto key = group.create ? registry.Create(group.hive, group.path, access)
                            : registry.Open(group.hive, group.path, access);
    if (!key) {
      const std::string where =
          std::string(group.hive == Hive::kCurrentUser ? "HKEY_CURRENT_USER\\"
                                                       : "HKEY_LOCAL_MACHINE\\") +
          group.path;
      if (group.create) {
        return platform::PlatformError(where + " can't be opened or created",
                                       platform::ErrorKind::kAccessDenied);
      }
      if (registry.Open(group.hive, group.path, Access::kRead)) {
        // There, but this account may only read it.
        return platform::PlatformError(where + " can't be opened for writing",
                                       platform::ErrorKind::kAccessDenied);
      }
      continue;
    }
    try {
      if (!group.read_value.empty()) {
        std::string value = key->ReadString(group.read_value).value_or("");
        if (on_read) {
          on_read(value);
        }
      }
      for (const PolicyValue& value : group.writes) {
        if (value.type == PolicyValue::Type::kString) {
          key->WriteString(value.name, value.text);
        } else {
          key->WriteDword(value.name, value.dword);
        }
      }
    } catch (const platform::PlatformError& e) {
      return e;
    }
  }
  return std::nullopt;
}

}  // namespace zalvo::settings
