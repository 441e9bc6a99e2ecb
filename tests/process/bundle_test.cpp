// The bundle's property list, embedded in the built executable's "__info_plist" section.

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <string>

namespace tolvane::testing {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The contents of the section `name` of an ELF64 image, or nullopt when it has none.
std::optional<std::string> elfSection(const std::string& image, const std::string& name) {
  Elf64_Ehdr header;
  if (image.size() < sizeof header) return std::nullopt;
  std::memcpy(&header, image.data(), sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) return std::nullopt;
  if (header.e_shentsize != sizeof(Elf64_Shdr)) return std::nullopt;

  const auto sectionHeader = [&](std::size_t index) -> std::optional<Elf64_Shdr> {
    const std::size_t offset = header.e_shoff + index * sizeof(Elf64_Shdr);
    if (offset + sizeof(Elf64_Shdr) > image.size()) return std::nullopt;
    Elf64_Shdr section;
    std::memcpy(&section, image.data() + offset, sizeof section);
    return section;
  };
  // With very many sections the real count and the name table's index live in section 0.
  const auto first = sectionHeader(0);
  if (!first) return std::nullopt;
  const std::size_t count = header.e_shnum != 0 ? header.e_shnum : first->sh_size;
  const std::size_t namesIndex = header.e_shstrndx != SHN_XINDEX ? header.e_shstrndx : first->sh_link;
  const auto names = sectionHeader(namesIndex);
  if (!names || names->sh_offset + names->sh_size > image.size()) return std::nullopt;

  for (std::size_t i = 0; i < count; ++i) {
    const auto section = sectionHeader(i);
    if (!section) return std::nullopt;
    if (section->sh_name >= names->sh_size) continue;
    const char* sectionName = image.data() + names->sh_offset + section->sh_name;
    const std::size_t room = names->sh_size - section->sh_name;
    if (std::string(sectionName, strnlen(sectionName, room)) != name) continue;
    if (section->sh_type == SHT_NOBITS || section->sh_offset + section->sh_size > image.size()) return std::nullopt;
    return image.substr(section->sh_offset, section->sh_size);
  }
  return std::nullopt;
}

TEST(Bundle, ExecutableCarriesItsPropertyList) {
  const std::string image = readFile(TOLVANE_BINARY);
  ASSERT_FALSE(image.empty()) << "cannot read " << TOLVANE_BINARY;
  const auto plist = elfSection(image, "__info_plist");
  ASSERT_TRUE(plist) << "no __info_plist section";

  // The section holds the property list and nothing else: no terminating NUL, no padding.
  EXPECT_EQ(plist->find('\0'), std::string::npos);
  EXPECT_EQ(plist->rfind("<?xml ", 0), 0u) << "not an XML document";
  EXPECT_NE(plist->find("<!DOCTYPE plist"), std::string::npos);
  const std::string closing = "</plist>\n";
  ASSERT_GE(plist->size(), closing.size());
  EXPECT_EQ(plist->substr(plist->size() - closing.size()), closing);

  // Each <key> with the value element that follows it.
  std::map<std::string, std::string> entries;
  const std::regex entry(R"(<key>([^<]*)</key>\s*(<string>[^<]*</string>|<true/>|<false/>))");
  for (auto it = std::sregex_iterator(plist->begin(), plist->end(), entry); it != std::sregex_iterator(); ++it) {
    const auto [_, added] = entries.emplace((*it)[1].str(), (*it)[2].str());
    EXPECT_TRUE(added) << "key " << (*it)[1].str() << " appears twice";
  }
  struct Row {
    const char* key;
    const char* value;  // the value element as written
  };
  const Row rows[] = {
      {"CFBundleName", "<string>Tolvane</string>"},
      {"CFBundlePackageType", "<string>APPL</string>"},
      {"CFBundleShortVersionString", "<string>1.0</string>"},
      {"CFBundleVersion", "<string>1</string>"},
      {"LSMinimumSystemVersion", "<string>14.0</string>"},
      // A boolean, not the string "true": an agent application without Dock icon.
      {"LSUIElement", "<true/>"},
      {"NSAppleMusicUsageDescription", "<string>Tolvane plays the songs you ask for from Apple Music.</string>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    const auto found = entries.find(row.key);
    ASSERT_NE(found, entries.end()) << "missing key";
    EXPECT_EQ(found->second, row.value);
  }
}

}  // namespace
}  // namespace tolvane::testing
