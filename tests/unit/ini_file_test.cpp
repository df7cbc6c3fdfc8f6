#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>

#include "services/ini_file.h"

namespace kavtel {
namespace {

// A directory of its own under the system's temporary folder, removed again.
class IniFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           (std::string("kavtel-ini-") + info->name() + "-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  std::filesystem::path dir_;
};

TEST(IniFile, TypedValuesRoundTripAndAbsentKeysGiveTheDefault) {
  TKavtelIniFile ini;
  ini.WriteString("Unit", "Name", "T-100 = fast");
  ini.WriteInteger("Unit", "Count", -42);
  ini.WriteFloat("Unit", "Ratio", 0.1);
  EXPECT_EQ(ini.ReadString("Unit", "Name", "x"), "T-100 = fast");
  EXPECT_EQ(ini.ReadInteger("Unit", "Count", 0), -42);
  EXPECT_EQ(ini.ReadFloat("Unit", "Ratio", 0.0), 0.1);

  EXPECT_EQ(ini.ReadString("Unit", "Missing", "fallback"), "fallback");
  EXPECT_EQ(ini.ReadInteger("Other", "Count", 7), 7);
  EXPECT_EQ(ini.ReadFloat("Other", "Ratio", 2.5), 2.5);
  // A key of another section is not found in this one.
  EXPECT_EQ(ini.ReadString("Other", "Name", "none"), "none");
}

TEST(IniFile, NumbersThatDoNotReadGiveTheDefault) {
  TKavtelIniFile ini;
  ini.SetText("[S]\nInt=12abc\nBig=99999999999\nFloat=fast\nEmpty=\nSpaced= 80.5 \nSpacedInt= 12\n");
  EXPECT_EQ(ini.ReadInteger("S", "Int", 5), 5);
  EXPECT_EQ(ini.ReadInteger("S", "Big", 5), 5);
  EXPECT_EQ(ini.ReadFloat("S", "Float", 22.0), 22.0);
  EXPECT_EQ(ini.ReadFloat("S", "Empty", 65.0), 65.0);
  EXPECT_EQ(ini.ReadInteger("S", "Empty", 3), 3);
  // Blanks around a number are tolerated; strings keep them.
  EXPECT_EQ(ini.ReadFloat("S", "Spaced", 0.0), 80.5);
  EXPECT_EQ(ini.ReadInteger("S", "SpacedInt", 0), 12);
  EXPECT_EQ(ini.ReadString("S", "Spaced", ""), " 80.5 ");
}

TEST(IniFile, WritingAKeyAgainChangesItInPlace) {
  TKavtelIniFile ini;
  ini.WriteString("A", "First", "1");
  ini.WriteString("B", "Only", "x");
  ini.WriteString("A", "Second", "2");
  ini.WriteString("a", "FIRST", "one");  // names ignore case
  EXPECT_EQ(ini.GetText(), "[A]\nFirst=one\nSecond=2\n\n[B]\nOnly=x\n");
}

TEST(IniFile, ReadsAHandEditedFile) {
  TKavtelIniFile ini;
  ini.SetText(
      "orphan=before any section\r\n"
      "; comment\r\n"
      "\r\n"
      "  [Treadmill]  \r\n"
      "  MaxSpeed = 18\r\n"
      "# another comment\r\n"
      "no equals sign here\r\n"
      "=no key\r\n"
      "Url=http://host/?a=b\r\n"
      "[other]\r\n"
      "Weight=70\r\n"
      "[TREADMILL]\r\n"
      "maxspeed=19\r\n"
      "Last=no newline at the end");
  EXPECT_EQ(ini.ReadString("treadmill", "MAXSPEED", ""), "19");
  EXPECT_EQ(ini.ReadString("Treadmill", "Url", ""), "http://host/?a=b");
  EXPECT_EQ(ini.ReadString("Treadmill", "Last", ""), "no newline at the end");
  EXPECT_EQ(ini.ReadInteger("Other", "Weight", 0), 70);
  EXPECT_EQ(ini.ReadString("", "orphan", "none"), "none");
  EXPECT_EQ(ini.GetText(),
            "[Treadmill]\nMaxSpeed=19\nUrl=http://host/?a=b\nLast=no newline at the end\n\n"
            "[other]\nWeight=70\n");
}

TEST(IniFile, LineEndsWithSeveralCarriageReturnsEndTheValueAndTheTextStaysAsWritten) {
  // A file whose lines end in CR CR LF (saved twice in text mode, say): the
  // CRs belong to the line end, so a value never keeps one, and what the
  // file gives back loads to the same text.
  TKavtelIniFile ini;
  ini.SetText("[S]\r\r\nKey=value\r\r\r\nMid=a\rb\r\n");
  EXPECT_EQ(ini.ReadString("S", "Key", ""), "value");
  EXPECT_EQ(ini.ReadString("S", "Mid", ""), "a\rb");  // inside a line, as read
  const std::string text = ini.GetText();
  TKavtelIniFile again;
  again.SetText(text);
  EXPECT_EQ(again.GetText(), text);
  EXPECT_EQ(again.ReadString("S", "Key", ""), "value");
}

TEST(IniFile, RefusesNamesAndValuesThatWouldBreakTheFile) {
  TKavtelIniFile ini;
  EXPECT_THROW(ini.WriteString("S", "Key", "two\nlines"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("S", "Key", "carriage\rreturn"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("S]", "Key", "v"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("S\n[T", "Key", "v"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("S", "", "v"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("S", "a=b", "v"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("S", " Key", "v"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("S", "[Key", "v"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("S", ";Key", "v"), std::invalid_argument);
  EXPECT_EQ(ini.GetText(), "");
}

TEST_F(IniFileOnDisk, SaveAndLoadKeepEveryValue) {
  TKavtelIniFile ini;
  ini.WriteString("Device 1", "Name", "Anna's treadmill");
  ini.WriteFloat("Device 1", "MaxSpeed", 21.96f);
  ini.WriteInteger("Device 2", "ID", 2);
  const std::string path = PathOf("caps.ini");
  ASSERT_TRUE(ini.SaveToFile(path));

  // The platform's line ends on disk; the same lines either way.
  std::string on_disk = Contents(path);
  on_disk.erase(std::remove(on_disk.begin(), on_disk.end(), '\r'), on_disk.end());
  EXPECT_EQ(on_disk, "[Device 1]\nName=Anna's treadmill\nMaxSpeed=21.9599990844727\n\n[Device 2]\nID=2\n");

  TKavtelIniFile loaded;
  ASSERT_TRUE(loaded.LoadFromFile(path));
  EXPECT_EQ(loaded.GetText(), ini.GetText());
  EXPECT_EQ(static_cast<float>(loaded.ReadFloat("Device 1", "MaxSpeed", 0.0)), 21.96f);
}

TEST_F(IniFileOnDisk, FailedLoadOrSaveReportsFalseAndKeepsTheContents) {
  TKavtelIniFile ini;
  ini.WriteString("S", "Key", "value");
  EXPECT_FALSE(ini.LoadFromFile(PathOf("does-not-exist.ini")));
  EXPECT_EQ(ini.ReadString("S", "Key", ""), "value");
  EXPECT_FALSE(ini.SaveToFile(PathOf("no-such-folder/caps.ini")));
}

}  // namespace
}  // namespace kavtel
