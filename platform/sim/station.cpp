#include "platform/sim/station.h"

namespace zalvo::sim {
namespace {

void WriteIfMissing(const std::filesystem::path& path, std::string_view content) {
  if (!std::filesystem::exists(path)) {
    std::filesystem::create_directories(path.parent_path());
    WriteFileAtomically(path, content);
  }
}

}  // namespace

Station::Station(const std::filesystem::path& root, platform::LogSink echo)
    : root_(std::filesystem::absolute(root)),
      journal_(root_ / "journal.log", std::move(echo)),
      registry_(root_ / "registry"),
      files_(root_ / "windows"),
      desktop_(root_, journal_),
      mixer_(root_ / "mixer.txt", journal_),
      console_(root_ / "console.txt", registry_, journal_) {}

void Station::CreateSample(const std::filesystem::path& root, std::string_view server_ip) {
  std::filesystem::create_directories(root / "windows");
  std::string ini =
      "SearchPage=https://duckduckgo.com/\r\n"
      "StartPage=https://example.org/\r\n"
      "ProxyEnable=0\r\n"
      "ProxyPort=8080\r\n"
      "Hide=1\r\n"
      "ServerIP=" +
      std::string(server_ip) +
      "\r\n"
      "ShutDownMonitor=0\r\n"
      "ShutDownMouse=0\r\n"
      "Beep=1\r\n"
      "NoAutomatProxy=0\r\n"
      "ClosePasswordForm=10\r\n"
      "SendDataTime=60\r\n"
      "AutoShutDownSec=6000\r\n"
      "AutoShutDown=1\r\n"
      "FreeDisk=1\r\n"
      "PlayGame=1\r\n";
  WriteIfMissing(root / "windows" / "krvini.ini", ini);
  WriteIfMissing(root / "registry" / "HKEY_LOCAL_MACHINE.reg",
                 "REGEDIT4\n\n"
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon]\n"
                 "\"AutoAdminLogon\"=\"0\"\n"
                 "\"ZalvoLogon\"=\"0\"\n");
  WriteIfMissing(root / "registry" / "HKEY_CURRENT_USER.reg",
                 "REGEDIT4\n\n"
                 "[HKEY_CURRENT_USER\\Control Panel\\desktop]\n"
                 "\"Wallpaper\"=\"\"\n\n"
                 "[HKEY_CURRENT_USER\\Software\\Kav\\Zalvo]\n\n"
                 "[HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Explorer\\Main]\n\n"
                 "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet "
                 "Settings]\n\n"
                 "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\"
                 "Explorer]\n\n"
                 "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\"
                 "Network]\n\n"
                 "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\"
                 "System]\n");
  WriteIfMissing(root / "windows.txt",
                 "# handle pid flags caption (flags: F = foreground, - = none)\n"
                 "65552 1200 F Counter-Strike\n"
                 "65560 1320 - Календар - Notepad\n"
                 "65568 4 - \n");
  WriteIfMissing(root / "mixer.txt",
                 SimMixer::FormatFile({platform::kMaxMixerLevel, platform::kMaxMixerLevel}, false));
  WriteIfMissing(root / "privileges.txt",
                 "SeSecurityPrivilege\nSeSystemEnvironmentPrivilege\nSeShutdownPrivilege\n");
}

}  // namespace zalvo::sim
