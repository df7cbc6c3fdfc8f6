#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kavtel/export.h"
#include "services/root_object.h"

namespace kavtel {

// An INI-style settings file held in memory: named sections of key=value
// lines. The host creates it, loads it from and saves it to disk; readers
// and writers only work on the copy in memory.
//
// Section and key names compare without regard to ASCII case. Loading
// keeps "[section]" headers and key=value lines (the key trimmed of blanks,
// the value verbatim after the first "=" up to the line end, whose CRs it
// drops); blank lines, comments (";" or
// "#") and anything else are skipped and not written back. A key given twice
// keeps its last value. Every read takes a default that stands in for an
// absent key or, for numbers, for a value that does not read as one.
class KAVTEL_API TKavtelIniFile : public TObject {
 public:
  TKavtelIniFile() = default;

  // Replaces the contents with the file's. False, contents unchanged, when
  // the file cannot be read.
  bool LoadFromFile(const std::string& path);
  // False when the file cannot be written completely.
  bool SaveToFile(const std::string& path) const;

  // The contents as file text ("\n" line ends), and the reverse.
  std::string GetText() const;
  void SetText(std::string_view text);

  std::string ReadString(const std::string& section, const std::string& key, const std::string& fallback) const;
  std::int32_t ReadInteger(const std::string& section, const std::string& key, std::int32_t fallback) const;
  // Written and read with the host's decimal separator.
  double ReadFloat(const std::string& section, const std::string& key, double fallback) const;

  // Adds the key, or changes it in place. Throws std::invalid_argument for a
  // name or value the file could not hold as given: a line break anywhere,
  // a "]" in the section name, an empty key, a key with "=", surrounding
  // blanks, or a leading "[", ";" or "#".
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);
  void WriteFloat(const std::string& section, const std::string& key, double value);

 private:
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };

  const std::string* Find(const std::string& section, const std::string& key) const;
  // The position of the named section, added at the end when absent.
  std::size_t SectionIndex(const std::string& name);
  static void Store(Section& section, const std::string& key, const std::string& value);

  std::vector<Section> Sections_;
};

}  // namespace kavtel
