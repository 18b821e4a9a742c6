#include "real_parts.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace flash_test {
namespace {

// Just enough JSON for the file: objects, arrays, strings without escapes beyond \" and \\,
// numbers, true, false and null.
struct Json {
  enum Kind { Null, Bool, Number, String, Array, Object } Type = Null;
  double Value = 0;
  std::string Text;
  std::vector<Json> Items;
  std::map<std::string, Json> Fields;
  const Json &operator[](const std::string &Key) const {
    static const Json None;
    const auto It = Fields.find(Key);
    return It == Fields.end() ? None : It->second;
  }
  bool Has(const std::string &Key) const { return Fields.count(Key) != 0 && Fields.at(Key).Type != Null; }
};

[[noreturn]] void Fail(const std::string &Why) {
  std::fprintf(stderr, "spi-nor-parts.json: %s\n", Why.c_str());
  std::exit(2);
}

struct Reader {
  const std::string &S;
  size_t At = 0;
  void Space() {
    while (At < S.size() && std::isspace(static_cast<unsigned char>(S[At]))) ++At;
  }
  bool Take(char C) {
    Space();
    if (At < S.size() && S[At] == C) return ++At, true;
    return false;
  }
  Json Value() {
    Space();
    if (At >= S.size()) Fail("unexpected end");
    Json J;
    const char C = S[At];
    if (C == '{') {
      J.Type = Json::Object;
      ++At;
      if (Take('}')) return J;
      do {
        Space();
        const std::string Key = Value().Text;
        if (!Take(':')) Fail("expected ':' at " + std::to_string(At));
        J.Fields[Key] = Value();
      } while (Take(','));
      if (!Take('}')) Fail("expected '}' at " + std::to_string(At));
    } else if (C == '[') {
      J.Type = Json::Array;
      ++At;
      if (Take(']')) return J;
      do J.Items.push_back(Value());
      while (Take(','));
      if (!Take(']')) Fail("expected ']' at " + std::to_string(At));
    } else if (C == '"') {
      J.Type = Json::String;
      for (++At; At < S.size() && S[At] != '"'; ++At) J.Text += S[At] == '\\' ? S[++At] : S[At];
      ++At;
    } else if (S.compare(At, 4, "null") == 0) {
      At += 4;
    } else if (S.compare(At, 4, "true") == 0 || S.compare(At, 5, "false") == 0) {
      J.Type = Json::Bool;
      J.Value = S[At] == 't';
      At += J.Value ? 4 : 5;
    } else {
      J.Type = Json::Number;
      size_t Used = 0;
      J.Value = std::stod(S.substr(At, 32), &Used);
      At += Used;
    }
    return J;
  }
};

uint8_t Hex(const std::string &Text) { return static_cast<uint8_t>(std::stoul(Text, nullptr, 16)); }

bool Has(const Json &List, const char *Value) {
  for (const Json &Item : List.Items)
    if (Item.Text == Value) return true;
  return false;
}

sim::SpiNorProfile ProfileOf(const Json &R) {
  using P = sim::SpiNorProfile;
  P Profile;
  Profile.Name = R["vendor"].Text + " " + R["name"].Text;
  Profile.PageSize = static_cast<uint32_t>(R["page_size"].Value);
  const std::string &Program = R["program"].Text;
  Profile.Program = Program == "page_program_02" ? P::Programming::Page
                    : Program == "auto_address_increment_ad" ? P::Programming::AutoIncrement
                                                             : P::Programming::Byte;
  uint64_t Largest = 0;
  for (const Json &Erase : R["erase"].Items) {
    auto &Layout = Profile.Erases[Hex(Erase["opcode"].Text)];
    uint64_t Span = 0;
    for (const Json &B : Erase["blocks"].Items) {
      Layout.push_back({static_cast<uint32_t>(B.Items[0].Value), static_cast<uint32_t>(B.Items[1].Value)});
      Span += static_cast<uint64_t>(B.Items[0].Value) * B.Items[1].Value;
    }
    Largest = std::max(Largest, Span);
  }
  // Where the record gives no size, its erase layouts do.
  Profile.Size = static_cast<uint32_t>(R.Has("size_bytes") ? R["size_bytes"].Value : Largest);
  const Json &FourByte = R["four_byte"];
  Profile.FourByteEntry = Has(FourByte, "enter_exit_b7_e9_after_write_enable") ? P::AddressModeEntry::EnterExitAfterWriteEnable
                          : Has(FourByte, "enter_exit_b7_e9")                  ? P::AddressModeEntry::EnterExit
                                                                               : P::AddressModeEntry::None;
  Profile.BankRegister = Has(FourByte, "enter_exit_by_bank_register_bit7") || Has(FourByte, "extended_address_register_17_16");
  Profile.ExtendedAddressRegister = Has(FourByte, "extended_address_register_c5_c8");
  Profile.NativeRead = Has(FourByte, "native_read_13");
  Profile.NativeProgram = Has(FourByte, "native_program_12");

  const std::string &IdCommand = R["id_command"].Text;
  Profile.IdOpcode = IdCommand == "read_id_90_after_3_address_bytes" ? 0x90
                     : IdCommand == "read_electronic_signature_ab"   ? 0xAB
                     : IdCommand == "read_id_15"                     ? 0x15
                                                                     : 0x9F;
  Profile.IdDummyBytes = Profile.IdOpcode == 0x90 || Profile.IdOpcode == 0xAB ? 3 : 0;
  if (IdCommand != "dataflash" && R.Has("id")) {
    std::istringstream Bytes(R["id"].Text);
    // A byte the sources do not compare: 0x4D, what the Spansion parts that leave it open give.
    for (std::string B; Bytes >> B;) Profile.Id.push_back(B == "??" ? 0x4D : Hex(B));
  }
  const Json &Unprotect = R["unprotect"];
  if (Unprotect.Has("clear_bits")) Profile.ProtectBits = Hex(Unprotect["clear_bits"].Text);
  const std::string &Status = R["write_status_needs"].Text;
  Profile.StatusTakesWriteEnable = Status != "enable_write_status_50";
  Profile.StatusTakesEnableWriteStatus = Status != "write_enable_06";
  return Profile;
}

Json ReadFile(const std::string &Path) {
  std::ifstream File(Path);
  if (!File) Fail("cannot open " + Path);
  std::stringstream Text;
  Text << File.rdbuf();
  const std::string S = Text.str();
  return Reader{S}.Value();
}

}  // namespace

std::vector<RealPart> LoadRealParts(const std::string &Path, const std::string &CorrectionsPath) {
  const Json Root = ReadFile(Path), Corrections = ReadFile(CorrectionsPath);
  std::vector<RealPart> Parts;
  for (Json R : Root["parts"].Items) {
    std::string Reference = R["reference"].Text;
    for (const Json &C : Corrections["corrections"].Items) {
      if (C["name"].Text != R["name"].Text) continue;
      for (const auto &[Key, Value] : C.Fields)
        if (Key != "name" && Key != "note" && Key != "reference") R.Fields[Key] = Value;
      Reference += "; corrected from " + C["reference"].Text;
    }
    Parts.push_back({R["vendor"].Text, R["name"].Text, R["id"].Text, R["id_command"].Text, Reference, ProfileOf(R)});
  }
  if (Parts.empty()) Fail("no parts");
  return Parts;
}

}  // namespace flash_test
