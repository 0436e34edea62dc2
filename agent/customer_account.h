// The customer account: the Windows account that Windows logs on for a
// session (DefaultUserName), and whose hive alone gets the customer's
// current-user policies from the service. The installer keeps its name and
// SID in the station's own key, HKLM\SOFTWARE\Zalvo (CustomerName,
// CustomerSid); the service reads them once, at its start.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/log_sink.h"
#include "platform/registry.h"

namespace zalvo::agent {

inline constexpr std::string_view kCustomerAccountKey = "SOFTWARE\\Zalvo";
inline constexpr std::string_view kCustomerNameValue = "CustomerName";
inline constexpr std::string_view kCustomerSidValue = "CustomerSid";
// The account of a station installed before the installer kept one.
inline constexpr std::string_view kDefaultCustomerName = "zalvo";

struct CustomerAccount {
  std::string name{kDefaultCustomerName};  // DefaultUserName
  std::string domain;                      // DefaultDomainName; empty: not known
  std::optional<std::string> sid;          // "S-1-5-21-..."; nullopt: not found
};

// What the system tells of accounts.
struct AccountLookup {
  // The SID (text form) of an account name; nullopt when there is none.
  std::function<std::optional<std::string>(std::string_view name)> sid_of;
  // The computer's NetBIOS name, the domain of its local accounts.
  std::function<std::string()> computer_name;
};

// The customer account as the installer stored it; without a stored name,
// "zalvo"; without a stored SID, the SID looked up by the name. A name
// "DOMAIN\user" logs on a domain's account; a plain name is a local account
// of this computer. Logs what it found. A value that can't be read counts as
// missing.
CustomerAccount ReadCustomerAccount(platform::Registry& registry, const AccountLookup& lookup,
                                    const platform::LogSink& log = {});

// Whose hive gets the current-user policies: the customer account's only,
// when it is the user at the console (console_sid), or, with nobody there,
// when its hive is still loaded. nullopt (the values are skipped) when
// another user is at the console, or the account or its hive can't be
// found. `whose` says which, for the log.
struct PolicyHive {
  std::optional<std::string> sid;
  std::string whose;
};
PolicyHive ChoosePolicyHive(const CustomerAccount& customer,
                            const std::optional<std::string>& console_sid,
                            bool customer_hive_loaded);

}  // namespace zalvo::agent
