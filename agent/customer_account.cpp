#include "agent/customer_account.h"

#include "platform/error.h"
#include "text/text.h"

namespace zalvo::agent {
namespace {

std::optional<std::string> Stored(platform::RegistryKey* key, std::string_view name) {
  if (key == nullptr) {
    return std::nullopt;
  }
  try {
    std::optional<std::string> value = key->ReadString(name);
    return value && !value->empty() ? value : std::nullopt;
  } catch (const platform::PlatformError&) {
    return std::nullopt;
  }
}

}  // namespace

CustomerAccount ReadCustomerAccount(platform::Registry& registry, const AccountLookup& lookup,
                                    const platform::LogSink& log) {
  auto key =
      registry.Open(platform::Hive::kLocalMachine, kCustomerAccountKey, platform::Access::kRead);
  CustomerAccount account;
  std::optional<std::string> name = Stored(key.get(), kCustomerNameValue);
  account.name = name.value_or(std::string(kDefaultCustomerName));
  account.sid = Stored(key.get(), kCustomerSidValue);
  const bool sid_stored = account.sid.has_value();
  if (!sid_stored && lookup.sid_of) {
    account.sid = lookup.sid_of(account.name);
  }
  // Windows' automatic log-on takes the account's domain apart.
  if (size_t slash = account.name.find('\\'); slash != std::string::npos) {
    account.domain = account.name.substr(0, slash);
    account.name = account.name.substr(slash + 1);
  } else if (lookup.computer_name) {
    account.domain = lookup.computer_name();
  }
  const std::string sid = account.sid ? *account.sid : "not found";
  log("customer account " + (account.domain.empty() ? "" : account.domain + "\\") + account.name +
      " (" + sid + ")" + (name ? "" : ": none stored by the installer, the default name taken") +
      (sid_stored || !account.sid ? "" : ", its SID looked up by the name"));
  return account;
}

PolicyHive ChoosePolicyHive(const CustomerAccount& customer,
                            const std::optional<std::string>& console_sid,
                            bool customer_hive_loaded) {
  PolicyHive hive;
  const std::string account = "the customer account " + customer.name;
  if (!customer.sid) {
    hive.whose = account + " was not found: the current-user values are skipped";
    return hive;
  }
  const std::string where = " (HKEY_USERS\\" + *customer.sid + ")";
  if (console_sid) {
    if (text::EqualsIgnoreCase(*console_sid, *customer.sid)) {
      hive.sid = customer.sid;
      hive.whose = "current user is " + account + ", at the console" + where;
    } else {
      hive.whose = "another user (" + *console_sid + ") is at the console, not " + account +
                   ": the current-user values are skipped";
    }
    return hive;
  }
  if (customer_hive_loaded) {
    hive.sid = customer.sid;
    hive.whose = "nobody is logged on at the console; current user is " + account + where;
  } else {
    hive.whose = "nobody is logged on at the console and the hive of " + account +
                 " is not loaded: the current-user values are skipped";
  }
  return hive;
}

}  // namespace zalvo::agent
