#include "services/ini_file.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>

#include "services/number_text.h"

namespace kavtel {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

void CheckWritable(const std::string& section, const std::string& key, const std::string& value) {
  if (HasLineBreak(section) || section.find(']') != std::string::npos) {
    throw std::invalid_argument("settings file: unusable section name");
  }
  if (key.empty() || HasLineBreak(key) || key.find('=') != std::string::npos || Trim(key).size() != key.size() ||
      key[0] == '[' || key[0] == ';' || key[0] == '#') {
    throw std::invalid_argument("settings file: unusable key name");
  }
  if (HasLineBreak(value)) throw std::invalid_argument("settings file: value with a line break");
}

}  // namespace

bool TKavtelIniFile::LoadFromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  SetText(text);
  return true;
}

bool TKavtelIniFile::SaveToFile(const std::string& path) const {
  std::ofstream out(path, std::ios::trunc);  // text mode: the platform's line ends
  if (!out) return false;
  out << GetText();
  out.close();
  return !out.fail();
}

std::string TKavtelIniFile::GetText() const {
  std::string text;
  for (const Section& section : Sections_) {
    if (!text.empty()) text += '\n';
    text += '[' + section.name + "]\n";
    for (const Entry& entry : section.entries) text += entry.key + '=' + entry.value + '\n';
  }
  return text;
}

void TKavtelIniFile::SetText(std::string_view text) {
  Sections_.clear();
  std::optional<std::size_t> current;  // lines before the first header belong nowhere
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    // Every CR before the line end belongs to it: a value never ends in one
    // (it could not be written back as read, and would lose one CR on every
    // save and load).
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') continue;
    if (trimmed.front() == '[' && trimmed.back() == ']') {
      current = SectionIndex(std::string(trimmed.substr(1, trimmed.size() - 2)));
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!current || equals == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, equals));
    if (key.empty()) continue;
    Store(Sections_[*current], std::string(key), std::string(line.substr(equals + 1)));
  }
}

std::string TKavtelIniFile::ReadString(const std::string& section, const std::string& key,
                                       const std::string& fallback) const {
  const std::string* value = Find(section, key);
  return value != nullptr ? *value : fallback;
}

std::int32_t TKavtelIniFile::ReadInteger(const std::string& section, const std::string& key,
                                         std::int32_t fallback) const {
  const std::string* value = Find(section, key);
  if (value == nullptr) return fallback;
  return ParseInteger(Trim(*value)).value_or(fallback);
}

double TKavtelIniFile::ReadFloat(const std::string& section, const std::string& key, double fallback) const {
  const std::string* value = Find(section, key);
  if (value == nullptr) return fallback;
  return ParseHostFloat(Trim(*value)).value_or(fallback);
}

void TKavtelIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  CheckWritable(section, key, value);
  Store(Sections_[SectionIndex(section)], key, value);
}

void TKavtelIniFile::WriteInteger(const std::string& section, const std::string& key, std::int32_t value) {
  WriteString(section, key, FormatInteger(value));
}

void TKavtelIniFile::WriteFloat(const std::string& section, const std::string& key, double value) {
  WriteString(section, key, FormatHostFloat(value));
}

const std::string* TKavtelIniFile::Find(const std::string& section, const std::string& key) const {
  for (const Section& s : Sections_) {
    if (!SameName(s.name, section)) continue;
    for (const Entry& entry : s.entries) {
      if (SameName(entry.key, key)) return &entry.value;
    }
    return nullptr;
  }
  return nullptr;
}

std::size_t TKavtelIniFile::SectionIndex(const std::string& name) {
  for (std::size_t i = 0; i < Sections_.size(); ++i) {
    if (SameName(Sections_[i].name, name)) return i;
  }
  Sections_.push_back(Section{name, {}});
  return Sections_.size() - 1;
}

void TKavtelIniFile::Store(Section& section, const std::string& key, const std::string& value) {
  for (Entry& entry : section.entries) {
    if (SameName(entry.key, key)) {
      entry.value = value;
      return;
    }
  }
  section.entries.push_back(Entry{key, value});
}

}  // namespace kavtel
