// The bridge's configuration: what a good file gives, every fault of a bad
// one with its line, the loopback rule for plaintext, and the refusal of
// files others can read.
#include <sys/stat.h>

#include <cctype>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "bridge_config.h"
#include "support/temp_folder.h"

namespace {

using bridge::ParseConfig;

const char* const kGood = R"(# a site with two belts
[broker]
host = 127.0.0.1
port = 18830
site = rehab-1
publish_interval = 0.5

[station belt-a]
com = 3
remote_control = on
max_speed = 3.5
min_elevation = 0
max_elevation = 12.5

[station belt_b]   ; remote control off: the library's limits
com = 6
)";

TEST(BridgeConfig, GoodFileGivesEveryValueAndTheDefaults) {
  const auto r = ParseConfig(kGood);
  ASSERT_TRUE(r.faults.empty()) << r.faults.front().line << ": " << r.faults.front().message;
  const auto& b = r.config.broker;
  EXPECT_EQ(b.host, "127.0.0.1");
  EXPECT_EQ(b.EffectivePort(), 18830);
  EXPECT_EQ(b.site, "rehab-1");
  EXPECT_EQ(b.topicRoot, "kavtel/rehab-1");
  EXPECT_EQ(b.clientId, "kavtel-bridge-rehab-1");
  EXPECT_DOUBLE_EQ(b.publishInterval, 0.5);
  EXPECT_FALSE(b.Tls());
  ASSERT_EQ(r.config.stations.size(), 2u);
  const auto& a = r.config.stations[0];
  EXPECT_EQ(a.name, "belt-a");
  EXPECT_EQ(a.line, 8);
  EXPECT_EQ(a.com, 3);
  EXPECT_TRUE(a.remoteControl);
  EXPECT_DOUBLE_EQ(a.maxSpeed, 3.5);
  EXPECT_DOUBLE_EQ(a.minElevation, 0);
  EXPECT_DOUBLE_EQ(a.maxElevation, 12.5);
  const auto& s = r.config.stations[1];
  EXPECT_EQ(s.com, 6);
  EXPECT_FALSE(s.remoteControl);
  EXPECT_DOUBLE_EQ(s.maxSpeed, bridge::kLibraryMaxSpeed);
  EXPECT_DOUBLE_EQ(s.minElevation, -bridge::kLibraryMaxElevation);
  EXPECT_DOUBLE_EQ(s.maxElevation, bridge::kLibraryMaxElevation);
}

TEST(BridgeConfig, PortDefaultsFollowTls) {
  const auto plain = ParseConfig("[broker]\nsite = s\n[station a]\ncom = 1\n");
  ASSERT_TRUE(plain.faults.empty());
  EXPECT_EQ(plain.config.broker.EffectivePort(), 1883);
  const auto tls = ParseConfig("[broker]\nsite = s\nca_file = /ca.pem\n[station a]\ncom = 1\n");
  ASSERT_TRUE(tls.faults.empty());
  EXPECT_EQ(tls.config.broker.EffectivePort(), 8883);
}

struct BadCase {
  const char* what;
  std::string body;  // appended to a valid broker section (lines 1-2)
  int line;
  const char* says;
};

class BridgeConfigFaults : public testing::TestWithParam<BadCase> {};

TEST_P(BridgeConfigFaults, NamesTheFaultAndItsLine) {
  const BadCase& c = GetParam();
  const auto r = ParseConfig("[broker]\nsite = s\n" + c.body);
  std::string all;
  for (const auto& f : r.faults) all += "\n  " + std::to_string(f.line) + ": " + f.message;
  ASSERT_EQ(r.faults.size(), 1u) << c.what << all;
  EXPECT_EQ(r.faults[0].line, c.line) << c.what << ": " << r.faults[0].message;
  EXPECT_NE(r.faults[0].message.find(c.says), std::string::npos) << c.what << ": " << r.faults[0].message;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BridgeConfigFaults,
    testing::Values(
        BadCase{"COM beyond the library's table", "[station a]\ncom = 65\n", 4, "1 to 64"},
        BadCase{"COM zero", "[station a]\ncom = 0\n", 4, "1 to 64"},
        BadCase{"COM not a number", "[station a]\ncom = three\n", 4, "'com'"},
        BadCase{"COM missing", "[station a]\nremote_control = off\n", 3, "needs 'com'"},
        BadCase{"COM twice", "[station a]\ncom = 2\n[station b]\ncom = 2\n", 6, "is station 'a' already"},
        BadCase{"station name twice", "[station a]\ncom = 1\n[station a]\ncom = 2\n", 5, "again"},
        BadCase{"station name with a wildcard", "[station a+]\ncom = 1\n[station b]\ncom = 2\n", 3, "station name"},
        BadCase{"unknown station key", "[station a]\ncom = 1\nspeed_max = 3\n", 5, "unknown key 'speed_max'"},
        BadCase{"key twice", "[station a]\ncom = 1\ncom = 2\n", 5, "again"},
        BadCase{"not key = value", "[station a]\ncom = 1\nremote\n", 5, "key = value"},
        BadCase{"unknown section", "[stations]\n[station a]\ncom = 1\n", 3, "unknown section"},
        BadCase{"remote control without a limit",
                "[station a]\ncom = 1\nremote_control = on\nmax_speed = 2\nmin_elevation = 0\n", 3,
                "needs 'max_elevation'"},
        BadCase{"elevation limits crossed",
                "[station a]\ncom = 1\nmin_elevation = 5\nmax_elevation = 2\n", 3, "min_elevation is above"},
        BadCase{"speed above the library's", "[station a]\ncom = 1\nmax_speed = 120\n", 5, "0 to 99.99"},
        BadCase{"speed with a comma", "[station a]\ncom = 1\nmax_speed = 2,5\n", 5, "'max_speed'"},
        BadCase{"switch that is neither", "[station a]\ncom = 1\nremote_control = maybe\n", 5, "on or off"},
        BadCase{"no station", "", 0, "no [station"},
        BadCase{"password in the configuration", "password = hunter2\n[station a]\ncom = 1\n", 3,
                "credentials file"},
        BadCase{"publish interval above a second", "publish_interval = 5\n[station a]\ncom = 1\n", 3,
                "'publish_interval'"},
        BadCase{"client certificate without its key", "ca_file = /ca\ncert_file = /c\n[station a]\ncom = 1\n", 4,
                "come together"},
        BadCase{"client certificate without a CA", "cert_file = /c\nkey_file = /k\n[station a]\ncom = 1\n", 3,
                "needs 'ca_file'"},
        BadCase{"topic root with a wildcard", "topic_root = a/#\n[station a]\ncom = 1\n", 3, "'topic_root'"},
        BadCase{"remote broker without TLS", "host = broker.example.org\n[station a]\ncom = 1\n", 3,
                "not on this machine"},
        BadCase{"remote address without TLS", "host = 10.1.2.3\nplaintext = no\n[station a]\ncom = 1\n", 3,
                "plaintext = yes"}),
    [](const testing::TestParamInfo<BadCase>& param) {
      std::string name;
      for (const char* p = param.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

TEST(BridgeConfig, EveryFaultOfAFileIsNamedInLineOrder) {
  const auto r = ParseConfig(
      "[station a]\n"   // 1
      "com = 99\n"      // 2: out of range (the one fault of 'com')
      "colour = red\n"  // 3: unknown key
      "[broker]\n"      // 4: no site
      "host = 192.168.1.5\n");  // 5: remote without TLS
  ASSERT_EQ(r.faults.size(), 4u);
  EXPECT_EQ(r.faults[0].line, 2);
  EXPECT_NE(r.faults[0].message.find("'com'"), std::string::npos);
  EXPECT_EQ(r.faults[1].line, 3);
  EXPECT_EQ(r.faults[2].line, 4);
  EXPECT_NE(r.faults[2].message.find("'site'"), std::string::npos);
  EXPECT_EQ(r.faults[3].line, 5);
  EXPECT_NE(r.faults[3].message.find("not on this machine"), std::string::npos);
}

TEST(BridgeConfig, PlaintextToARemoteBrokerOnlyWhenSaidAndThenNoticed) {
  const auto said = ParseConfig("[broker]\nsite = s\nhost = 10.0.0.8\nplaintext = yes\n[station a]\ncom = 1\n");
  EXPECT_TRUE(said.faults.empty());
  ASSERT_EQ(said.notices.size(), 1u);
  EXPECT_EQ(said.notices[0].line, 4);
  EXPECT_NE(said.notices[0].message.find("WITHOUT TLS"), std::string::npos);

  const auto tls = ParseConfig("[broker]\nsite = s\nhost = 10.0.0.8\nca_file = /ca.pem\n[station a]\ncom = 1\n");
  EXPECT_TRUE(tls.faults.empty());
  EXPECT_TRUE(tls.notices.empty());
}

TEST(BridgeConfig, LoopbackHosts) {
  for (const char* host : {"localhost", "127.0.0.1", "127.1.2.3", "::1", "[::1]"})
    EXPECT_TRUE(bridge::IsLoopbackHost(host)) << host;
  for (const char* host : {"128.0.0.1", "127.0.0", "127.0.0.1.", "127.0.0.256", "localhost.example.org",
                           "my-localhost", "0.0.0.0", "10.0.0.1", ""})
    EXPECT_FALSE(bridge::IsLoopbackHost(host)) << host;
}

TEST(BridgeConfig, Credentials) {
  std::string why;
  const auto c = bridge::ParseCredentials("# the bridge's account\nusername = site-1\npassword = p#ss;w=rd\n", &why);
  ASSERT_TRUE(c) << why;
  EXPECT_EQ(c->username, "site-1");
  EXPECT_EQ(c->password, "p#ss;w=rd");
  for (const char* bad : {"username = a\n", "password = b\n", "username = a\npassword = b\ntoken = c\n", ""})
    EXPECT_FALSE(bridge::ParseCredentials(bad, &why)) << bad;
}

class BridgeConfigFiles : public testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& text, mode_t mode) {
    const std::string path = folder_.Path() + "/" + name;
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
    return path;
  }
  kavtel::test::TempFolder folder_{"bridge"};
};

TEST_F(BridgeConfigFiles, AFileOpenToGroupOrOthersIsRefused) {
  EXPECT_FALSE(bridge::CheckPrivateFile(Write("own", "x", 0600)));
  EXPECT_FALSE(bridge::CheckPrivateFile(Write("read-only", "x", 0400)));
  for (mode_t mode : {0640, 0604, 0620, 0602, 0644, 0660}) {
    const auto why = bridge::CheckPrivateFile(Write("open", "x", mode));
    ASSERT_TRUE(why) << std::oct << mode;
    EXPECT_NE(why->find("chmod 600"), std::string::npos) << *why;
  }
  EXPECT_TRUE(bridge::CheckPrivateFile(folder_.Path() + "/missing"));
}

TEST_F(BridgeConfigFiles, CheckNamesTheCredentialsLineAndRefusesAnOpenConfiguration) {
  const std::string credentials = Write("cred", "username = u\npassword = p\n", 0644);
  const std::string config = "[broker]\nsite = s\ncredentials = " + credentials + "\n[station a]\ncom = 1\n";

  const auto open = bridge::CheckConfigFile(Write("open.conf", config, 0644));
  ASSERT_EQ(open.faults.size(), 1u);
  EXPECT_EQ(open.faults[0].line, 0);
  EXPECT_NE(open.faults[0].message.find("open to the group or to others"), std::string::npos);

  const auto r = bridge::CheckConfigFile(Write("own.conf", config, 0600));
  ASSERT_EQ(r.faults.size(), 1u);
  EXPECT_EQ(r.faults[0].line, 3);
  EXPECT_NE(r.faults[0].message.find("credentials"), std::string::npos);

  EXPECT_FALSE(r.credentials);

  ::chmod(credentials.c_str(), 0600);
  const auto usable = bridge::CheckConfigFile(folder_.Path() + "/own.conf");
  EXPECT_TRUE(usable.faults.empty());
  ASSERT_TRUE(usable.credentials);
  EXPECT_EQ(usable.credentials->username, "u");
  EXPECT_EQ(usable.credentials->password, "p");
}

}  // namespace
