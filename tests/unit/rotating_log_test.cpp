// The station's log on a real folder (Linux, and Windows under Wine): lines
// with their time, the move to the earlier generation at the limit, and a
// log that can't be written.
#include "agent/rotating_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "agent/command_dispatcher.h"

namespace zalvo::agent {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

class RotatingLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zalvo-log-" + std::to_string(std::random_device{}()));
    ASSERT_TRUE(fs::create_directory(dir_));
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  std::unique_ptr<platform::LogFiles> files_ = platform::MakeLogFiles();
};

TEST_F(RotatingLogTest, KeepsTwoGenerationsWithinTheLimit) {
  const fs::path path = dir_ / "zalvos.log";
  RotatingLog log(*files_, path.string(), 1000);
  EXPECT_EQ(log.earlier_path(), (dir_ / "zalvos.1.log").string());
  log.Write("agent started");
  EXPECT_TRUE(std::regex_match(
      Slurp(path), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} agent started\r\n)")));

  // 40-byte lines: the file is moved aside at the line that reaches 1000
  // bytes, and the next earlier generation replaces the one before.
  const std::string filler(16, 'x');
  for (int i = 0; i < 100; ++i) {
    log.Write(filler);
    ASSERT_TRUE(!fs::exists(path) || fs::file_size(path) < 1000u) << i;
  }
  log.Write("the newest");
  const std::string current = Slurp(path);
  const std::string earlier = Slurp(log.earlier_path());
  EXPECT_NE(current.find("the newest\r\n"), std::string::npos);
  EXPECT_EQ(earlier.find("agent started"), std::string::npos);
  EXPECT_GE(earlier.size(), 1000u);
  EXPECT_LT(earlier.size(), 1040u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
  EXPECT_EQ(log.lost(), 0u);
}

TEST_F(RotatingLogTest, AQuietSinkLeavesOutTheDatagramsAndAMissingFolderLosesLines) {
  RotatingLog log(*files_, (dir_ / "agent.txt").string());
  EXPECT_EQ(log.earlier_path(), (dir_ / "agent.txt.1").string());
  platform::LogSink quiet = WithoutTraffic([&](std::string_view line) { log.Write(line); });
  quiet("<- 127.0.0.1:6868 ACTION INFO");
  quiet("-> 127.0.0.1:6868 PING");
  quiet("session started: 1800 s");
  const std::string text = Slurp(log.path());
  EXPECT_EQ(text.find("ACTION INFO"), std::string::npos);
  EXPECT_NE(text.find("session started: 1800 s\r\n"), std::string::npos);

  RotatingLog nowhere(*files_, (dir_ / "gone" / "zalvos.log").string());
  nowhere.Write("lost");  // no exception reaches the caller
  nowhere.Write("lost too");
  EXPECT_EQ(nowhere.lost(), 2u);
}

}  // namespace
}  // namespace zalvo::agent
