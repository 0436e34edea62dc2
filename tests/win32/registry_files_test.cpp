// The Win32 registry and files against a throwaway key and a throwaway
// folder of the Wine prefix.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "agent/win32/setup.h"
#include "platform/error.h"
#include "platform/win32/data_folder.h"
#include "platform/win32/file_calls.h"
#include "platform/win32/files.h"
#include "platform/win32/registry.h"
#include "platform/win32/wide.h"
#include "settings/settings_file.h"
#include "tests/support/scoped_calls.h"

namespace zalvo::win32 {
namespace {

using platform::Hive;

class Win32RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = "Software\\ZalvoTest\\" + std::to_string(GetCurrentProcessId());
    RegDeleteTreeW(HKEY_CURRENT_USER, Widen(path).c_str());
  }
  void TearDown() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, Widen("Software\\ZalvoTest").c_str());
  }
  Win32Registry registry;
  std::string path;
};

TEST_F(Win32RegistryTest, OpenFindsOnlyExistingKeysAndCreateMakesThem) {
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, path), nullptr);
  ASSERT_NE(registry.Create(Hive::kCurrentUser, path + "\\Deeper"), nullptr);
  EXPECT_NE(registry.Open(Hive::kCurrentUser, path), nullptr);
  // A leading backslash names the same key from the hive root.
  EXPECT_NE(registry.Open(Hive::kCurrentUser, "\\" + path + "\\Deeper"), nullptr);
  EXPECT_NE(registry.Open(Hive::kLocalMachine, "SOFTWARE\\Microsoft"), nullptr);
}

TEST_F(Win32RegistryTest, StringsAndDwordsRoundTripWithCyrillic) {
  auto key = registry.Create(Hive::kCurrentUser, path);
  ASSERT_NE(key, nullptr);
  const std::string cyrillic = "\xC4\xEE\xE1\xF0\xE5 \xE4\xEE\xF8\xEB\xE8";  // "Добре дошли"
  key->WriteString("Text", cyrillic);
  key->WriteString("Empty", "");
  key->WriteDword("LocalTimer", 0xFFFFFFFFu);
  EXPECT_EQ(key->ReadString("Text"), cyrillic);
  EXPECT_EQ(key->ReadString("Empty"), "");
  EXPECT_EQ(key->ReadDword("LocalTimer"), 0xFFFFFFFFu);
  EXPECT_EQ(key->ReadString("Missing"), std::nullopt);
  EXPECT_EQ(key->ReadDword("Missing"), std::nullopt);
  EXPECT_THROW(key->ReadString("LocalTimer"), platform::PlatformError);
  EXPECT_THROW(key->ReadDword("Text"), platform::PlatformError);
  auto names = key->ValueNames();
  EXPECT_EQ(names.size(), 3u);

  // The stored data is what other programs read: UTF-16 with its terminator.
  wchar_t buffer[64] = {};
  DWORD size = sizeof buffer;
  DWORD type = 0;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, Widen(path).c_str(), L"Text", RRF_RT_ANY, &type, buffer,
                         &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::wstring(buffer), L"Добре дошли");
  EXPECT_EQ(size, (wcslen(buffer) + 1) * sizeof(wchar_t));
}

TEST_F(Win32RegistryTest, AKeyDoesOnlyWhatItWasOpenedForAndAWideNumberIsNoDword) {
  registry.Create(Hive::kCurrentUser, path)->WriteDword("LocalTimer", 60);
  auto reading = registry.Open(Hive::kCurrentUser, path, platform::Access::kRead);
  ASSERT_NE(reading, nullptr);
  EXPECT_EQ(reading->ReadDword("LocalTimer"), 60u);
  EXPECT_EQ(reading->ValueNames().size(), 1u);
  EXPECT_THROW(reading->WriteDword("LocalTimer", 1), platform::PlatformError);
  auto writing = registry.Create(Hive::kCurrentUser, path, platform::Access::kWrite);
  ASSERT_NE(writing, nullptr);
  writing->WriteDword("LocalTimer", 120);
  EXPECT_THROW(writing->ReadDword("LocalTimer"), platform::PlatformError);
  auto both = registry.Open(Hive::kCurrentUser, path, platform::Access::kReadWrite);
  ASSERT_NE(both, nullptr);
  EXPECT_EQ(both->ReadDword("LocalTimer"), 120u);
  // A 64-bit number where a 32-bit one belongs is refused, not cut.
  const uint64_t wide = 0x100000001ULL;
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, Widen(path).c_str(), L"LocalTimer", REG_QWORD, &wide,
                            sizeof wide),
            ERROR_SUCCESS);
  EXPECT_THROW(both->ReadDword("LocalTimer"), platform::PlatformError);
}

TEST_F(Win32RegistryTest, AKeyDeletedWhileOpenFailsItsWrites) {
  auto key = registry.Create(Hive::kCurrentUser, path);
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, Widen(path).c_str()), ERROR_SUCCESS);
  EXPECT_THROW(key->WriteString("X", "1"), platform::PlatformError);
}

// The entries of a folder, without "." and "..".
int FilesIn(const std::string& folder) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(Widen(folder + "\\*").c_str(), &found);
  int entries = 0;
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (found.cFileName[0] != L'.') {
        ++entries;
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  return entries;
}

TEST(Win32Files, ReplaceWritesTheWholeFileAndReadReturnsIt) {
  Win32Files files;
  std::string dir = files.WindowsDirectory();
  EXPECT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '\\');
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  std::string folder = Narrow(temp) + "zalvo-files-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryW(Widen(folder).c_str(), nullptr);
  std::string path = settings::SettingsFilePath(folder, settings::kSettingsFileName);

  EXPECT_THROW(files.Read(path), platform::PlatformError);
  files.Replace(path, "A=1\r\n");
  files.Replace(path, std::string("B=2\r\n\0C=3\r\n", 12));
  EXPECT_EQ(files.Read(path), std::string("B=2\r\n\0C=3\r\n", 12));
  // Nothing but the file is left behind in the folder.
  EXPECT_EQ(FilesIn(folder), 1);
  // A folder that does not exist can't be written, and the failure says so.
  EXPECT_THROW(files.Replace(folder + "\\missing\\x.ini", "x"), platform::PlatformError);
  DeleteFileW(Widen(path).c_str());
  RemoveDirectoryW(Widen(folder).c_str());
}

// A save that fails after its temporary file was made leaves the old file
// and no temporary file: the file's handle is closed before it is deleted.
TEST(Win32Files, AFailedSaveStepLeavesOnlyTheOldFile) {
  Win32Files files;
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  std::string folder = Narrow(temp) + "zalvo-failed-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryW(Widen(folder).c_str(), nullptr);
  std::string path = folder + "\\krvini.ini";
  files.Replace(path, "A=1\r\n");

  testing::ScopedCalls calls(ReplaceFileCalls());
  for (int failing = 0; failing < 3; ++failing) {
    *calls = calls.real();
    if (failing == 0) {
      calls->write_file = [](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
      };
    } else if (failing == 1) {
      calls->flush_file_buffers = [](HANDLE) -> BOOL {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
      };
    } else {
      calls->move_file = [](LPCWSTR, LPCWSTR, DWORD) -> BOOL {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
      };
    }
    EXPECT_THROW(files.Replace(path, "B=2\r\n"), platform::PlatformError) << failing;
    EXPECT_EQ(FilesIn(folder), 1) << failing;
    EXPECT_EQ(files.Read(path), "A=1\r\n") << failing;
  }
  DeleteFileW(Widen(path).c_str());
  RemoveDirectoryW(Widen(folder).c_str());
}

// The data folder the service's and the set-up's logs go to: made with its
// rights, or, when they can't be set, removed again with a failure that
// says why (the set-up step says it and stops, the service runs without its
// log file), so that the next start makes it anew rather than use it.
TEST(Win32DataFolder, AFolderWhoseRightsCantBeSetIsRemovedAndTheFailureSaysWhy) {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder =
      std::wstring(temp) + L"zalvo-data-" + std::to_wstring(GetCurrentProcessId());
  RemoveDirectoryW(folder.c_str());
  auto exists = [&] { return GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES; };
  {
    testing::ScopedCalls calls(FolderRightsCallTable());
    calls->set_named_security_info = [](LPWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID,
                                        PACL, PACL) -> DWORD { return ERROR_ACCESS_DENIED; };
    try {
      (void)PrepareDataFolder(folder);
      ADD_FAILURE() << "a folder without its rights was used";
    } catch (const platform::PlatformError& e) {
      EXPECT_EQ(e.kind(), platform::ErrorKind::kAccessDenied);
      EXPECT_NE(std::string(e.what()).find(Narrow(folder) + " can't be given its rights"),
                std::string::npos)
          << e.what();
    }
    EXPECT_FALSE(exists());
  }
  EXPECT_EQ(PrepareDataFolder(folder), Narrow(folder));
  EXPECT_TRUE(exists());
  {
    // One that exists is used as it is: its rights are not set again.
    testing::ScopedCalls calls(FolderRightsCallTable());
    calls->set_named_security_info = [](LPWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID,
                                        PACL, PACL) -> DWORD { return ERROR_ACCESS_DENIED; };
    EXPECT_EQ(PrepareDataFolder(folder), Narrow(folder));
  }
  RemoveDirectoryW(folder.c_str());
}

// The set-up's steps keep their log in the data folder: one that can't be
// given its rights stops the step before it does anything, with the reason
// on the console, and is not left behind.
TEST(Win32DataFolder, ASetUpStepStopsWithTheReasonWhenItsLogFolderCantBeGivenItsRights) {
  const std::wstring data = DataFolderPath();
  const std::wstring aside = data + L".aside-" + std::to_wstring(GetCurrentProcessId());
  const bool existed = MoveFileExW(data.c_str(), aside.c_str(), 0) != FALSE;
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring said =
      std::wstring(temp) + L"zalvo-said-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
  int code = 0;
  {
    testing::ScopedCalls calls(FolderRightsCallTable());
    calls->set_named_security_info = [](LPWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID,
                                        PACL, PACL) -> DWORD { return ERROR_ACCESS_DENIED; };
    // The step's console is a file for the while.
    std::fflush(stderr);
    const int saved = _dup(_fileno(stderr));
    const int file = _wopen(said.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY, 0600);
    ASSERT_GE(file, 0);
    _dup2(file, _fileno(stderr));
    // Stopping a service that is not installed would otherwise say so and
    // succeed.
    code = RunSetupCommand({L"ZalvoNoSuchService", L"Zalvo No Such Service", L"", {}}, {L"/STOP"});
    std::fflush(stderr);
    _dup2(saved, _fileno(stderr));
    _close(saved);
    _close(file);
  }
  const bool left = GetFileAttributesW(data.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (existed) {
    MoveFileExW(aside.c_str(), data.c_str(), 0);
  }
  EXPECT_EQ(code, 1);
  EXPECT_FALSE(left);
  const std::string text = Win32Files().Read(Narrow(said));
  DeleteFileW(said.c_str());
  EXPECT_NE(
      text.find("zalvos: refused: the data folder " + Narrow(data) + " can't be given its rights"),
      std::string::npos)
      << text;
}

}  // namespace
}  // namespace zalvo::win32
