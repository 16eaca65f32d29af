// The shared object's dynamic symbol table: the eight functions and nothing
// else another module could bind to.
#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "integration.h"

namespace qztest {
namespace {

struct Symbol {
  uint64_t value;
  unsigned type;
};

// Defined, non-local symbols of .dynsym (ELF64, native byte order); false
// when the file cannot be read as such.
bool ReadDynamicSymbols(const std::string& path, std::map<std::string, Symbol>* out) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (file.size() < sizeof(Elf64_Ehdr)) return false;
  const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(file.data());
  if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64) return false;
  if (eh->e_shoff + static_cast<uint64_t>(eh->e_shnum) * sizeof(Elf64_Shdr) > file.size()) return false;
  const auto* sh = reinterpret_cast<const Elf64_Shdr*>(file.data() + eh->e_shoff);
  for (unsigned i = 0; i < eh->e_shnum; ++i) {
    if (sh[i].sh_type != SHT_DYNSYM || sh[i].sh_link >= eh->e_shnum) continue;
    const Elf64_Shdr& strtab = sh[sh[i].sh_link];
    if (sh[i].sh_offset + sh[i].sh_size > file.size() || strtab.sh_offset + strtab.sh_size > file.size()) return false;
    const auto* syms = reinterpret_cast<const Elf64_Sym*>(file.data() + sh[i].sh_offset);
    const size_t count = sh[i].sh_size / sizeof(Elf64_Sym);
    for (size_t k = 1; k < count; ++k) {
      const Elf64_Sym& s = syms[k];
      if (s.st_shndx == SHN_UNDEF || ELF64_ST_BIND(s.st_info) == STB_LOCAL || s.st_name >= strtab.sh_size) continue;
      const char* name = file.data() + strtab.sh_offset + s.st_name;
      (*out)[std::string(name, strnlen(name, strtab.sh_size - s.st_name))] = Symbol{s.st_value, ELF64_ST_TYPE(s.st_info)};
    }
    return true;
  }
  return false;
}

TEST(SymbolsTest, ExportsExactlyTheEightFunctions) {
  std::map<std::string, Symbol> symbols;
  ASSERT_TRUE(ReadDynamicSymbols(LibraryPath(), &symbols)) << LibraryPath();
  std::set<std::string> names;
  for (const auto& s : symbols) {
    names.insert(s.first);
    EXPECT_EQ(s.second.type, static_cast<unsigned>(STT_FUNC)) << s.first;
  }
  const std::set<std::string> want = {"USBQZ_CheckWdmStatus", "USBQZ_PauseSpeech",  "USBQZ_ReadByte",
                                      "USBQZ_ReadyCheck",     "USBQZ_ResumeSpeech", "USBQZ_WriteByte",
                                      "USBQZ_WriteByteImmediate", "USBQZ_WriteString"};
  EXPECT_EQ(names, want);
  ASSERT_EQ(symbols.count("USBQZ_PauseSpeech"), 1u);
  ASSERT_EQ(symbols.count("USBQZ_ResumeSpeech"), 1u);
  EXPECT_EQ(symbols["USBQZ_PauseSpeech"].value, symbols["USBQZ_ResumeSpeech"].value);
}

}  // namespace
}  // namespace qztest
