// The driver on every real part in real_parts/spi-nor-parts.json. Each part is simulated from
// its record, started under each window configuration the chipset offers, and, where the
// tables accept its identifier, given random reads, erases and programs through the
// operations table, the whole part compared with a reference after every call. A call may
// fail and say so; it may never claim what it did not do, bring back bytes the part does not
// hold, or change a byte outside its range. Fixed seeds; a failure names the part, the window
// configuration, the call, its range, the first differing offset and the seed.
#include <flash/data_ops.h>
#include <flash/device_ops.h>
#include <flash/identify.h>
#include <flash/translation.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "data_ops_fixture.h"
#include "real_parts/real_parts.h"

namespace flash_test {
namespace {

struct WindowConfig {
  const char *Name;
  uint32_t Base, Size;
  bool Wide;
  bool StartProtected;  // the part's protection bits set, as a board may leave them
  unsigned Calls;
};

const WindowConfig Configs[] = {
    // Mostly to see what the unprotect leaves: where it leaves a bit set, every update fails.
    {"ROM window 16 MiB, protected at start", 0xFF000000, 0x1000000, false, true, 15},
    {"ROM window 64 KiB", 0xFFFF0000, 0x10000, false, false, 40},
    {"wide window", 0xFE000000, 0x2000000, true, false, 40},
};
constexpr uint64_t BaseSeed = 0x5EED2100;

enum class Verdict : int { Correct, Honest, NotAccepted, Corrupting };

// One part under one window configuration, in a process of its own so that the driver starts
// from its load-time globals.
struct PartRun : DataOpsBoard {
  void TestBody() override {}

  const RealPart *Real = nullptr;
  uint64_t InitialSeed = 0, Seed = 0;
  std::vector<uint8_t> Reference;
  bool HonestFailure = false;
  std::string Detail;

  uint64_t Random() {  // splitmix64
    uint64_t Z = (Seed += 0x9E3779B97F4A7C15ull);
    Z = (Z ^ (Z >> 30)) * 0xBF58476D1CE4E5B9ull;
    Z = (Z ^ (Z >> 27)) * 0x94D049BB133111EBull;
    return Z ^ (Z >> 31);
  }
  uint32_t Below(uint32_t N) { return N == 0 ? 0 : static_cast<uint32_t>(Random() % N); }

  // Anywhere in the part, or near a place where addressing changes: the start, the 16 MiB
  // line, the end, and the end the driver believes in.
  uint32_t PickOffset(uint32_t Size) {
    if (Below(4) != 0) return Below(Size);
    const uint32_t Marks[] = {0, FLASH_16MB, Size, FlashSize, Size / 2};
    const uint64_t Mark = Marks[Below(5)];
    const uint64_t At = Mark + Below(0x20000) - 0x10000;
    return static_cast<uint32_t>(At < Size ? At : Below(Size));
  }

  std::pair<UINT64, BOOLEAN> AddressOf(uint32_t Offset, uint32_t Length) {
    UINT64 Memory = 0, Last = 0;
    if (Below(2) == 0 || !FlashToMemory(Offset, &Memory) || !FlashToMemory(Offset + Length - 1, &Last) ||
        Last != Memory + Length - 1)
      return {Offset, FALSE};
    return {Memory, TRUE};
  }

  // What a failed call may have left in its range is not known: take the part's bytes.
  void Resync(uint32_t Offset, uint32_t Length) {
    Length = std::min<uint64_t>(Length, Part.Size() - Offset);
    std::memcpy(&Reference[Offset], &Part.Memory[Offset], Length);
  }

  Verdict Run(const RealPart &R, const WindowConfig &C, uint64_t RunSeed);
  bool Call(unsigned Number, const WindowConfig &C);
};

Verdict PartRun::Run(const RealPart &R, const WindowConfig &C, uint64_t RunSeed) {
  Real = &R;
  SetUp();
  Part.UseProfile(R.Profile);
  if (!C.StartProtected) Part.Status = 0;
  Part.ProgramUs = 1;
  Part.Erase4KUs = Part.Erase64KUs = 2;
  InitialSeed = Seed = RunSeed;
  // Partly programmed, partly erased.
  for (uint32_t I = 0; I < Part.Size(); I += 0x10000)
    if (Below(2) == 0)
      std::fill(Part.Memory.begin() + I, Part.Memory.begin() + std::min(I + 0x10000, Part.Size()),
                static_cast<uint8_t>(Random()));
  Reference = Part.Memory;
  RomWindow(static_cast<uint16_t>(C.Base >> 16), static_cast<uint16_t>((uint64_t{C.Base} + C.Size - 1) >> 16));
  if (C.Wide) WideWindow();
  Windows.MapRomWindow(B, C.Base, C.Size, C.Wide);
  B.Logging = false;
  Part.Record = false;
  B.Cpu.TscStep = 1000;
  B.Budget.Touches = 100'000'000;
  if (Start() != EFI_SUCCESS || FlashDeviceOps == nullptr) return Verdict::NotAccepted;
  FlashDeviceOps->Unprotect(0, 0, 0);
  std::ostringstream Seen;
  Seen << "taken as \"" << FlashDeviceOps->Name << "\", 0x" << std::hex << FlashSize << " bytes, sectors 0x"
       << FlashDeviceOps->SectorSize;
  Detail = Seen.str();
  for (unsigned Number = 0; Number < C.Calls; ++Number)
    if (!Call(Number, C)) return Verdict::Corrupting;
  return HonestFailure ? Verdict::Honest : Verdict::Correct;
}

bool PartRun::Call(unsigned Number, const WindowConfig &C) {
  const uint32_t Size = Part.Size();
  const uint32_t Sector = FlashDeviceOps->SectorSize;
  const unsigned Op = Below(4);
  uint32_t Offset = PickOffset(Size), Length = 0;
  bool Fits = true;  // a request that a sound driver on this part carries out
  if (Op == 0) {
    Length = Below(8) == 0 ? Below(0x20000) + 1 : Below(4096) + 1;
  } else if (Op == 1) {
    Offset &= ~0xFFFu;
    Length = 0x1000;
    Fits = Sector <= 0x1000;
  } else if (Op == 2) {
    Offset = Offset / Sector * Sector;
    Length = (Below(std::max(0x40000 / Sector, 1u)) + 1) * Sector;
    if (Below(16) == 0) {
      Offset += Below(2) == 0 ? 1 : 0x1000;
      Fits = false;
    }
  } else {
    Length = Below(300) + 1;
  }
  if (Offset >= Size) return true;
  Length = std::min(Length, Size - Offset);
  if (Op == 2 && Fits && Length % Sector != 0) return true;  // the part's end is not on a sector
  const auto [Address, IsMemory] = AddressOf(Offset, Length);
  static const char *const OpNames[] = {"Read", "EraseSector", "Erase", "Program"};
  B.StartRun();

  std::string Wrong;
  if (Op == 0) {
    std::vector<UINT8> Buffer(Length, 0x5A);
    UINT32 Left = Length;
    FlashDeviceOps->Read(Address, Buffer.data(), &Left, IsMemory);
    if (!std::equal(Buffer.begin(), Buffer.end(), Reference.begin() + Offset)) {
      const size_t First = std::mismatch(Buffer.begin(), Buffer.end(), Reference.begin() + Offset).first - Buffer.begin();
      std::ostringstream W;
      W << "read brought back 0x" << std::hex << +Buffer[First] << " for 0x" << +Reference[Offset + First]
        << " at offset 0x" << Offset + First;
      Wrong = W.str();
    }
  } else if (Op == 1) {
    if (!IsMemory) return true;  // processor addresses only
    if (FlashDeviceOps->EraseSector(Address)) {
      std::fill(Reference.begin() + Offset, Reference.begin() + Offset + Length, 0xFF);
    } else {
      HonestFailure |= Fits;
      Resync(Offset, Length);
    }
  } else if (Op == 2) {
    if (FlashDeviceOps->Erase(Address, Length, IsMemory) == EFI_SUCCESS) {
      std::fill(Reference.begin() + Offset, Reference.begin() + Offset + Length, 0xFF);
    } else {
      HonestFailure |= Fits;
      Resync(Offset, Length);
    }
  } else {
    std::vector<UINT8> Data(Length);
    const bool Programmable = Below(4) != 0;
    for (uint32_t I = 0; I < Length; ++I)
      Data[I] = static_cast<UINT8>(Random() & (Programmable ? Reference[Offset + I] : 0xFF));
    // As a caller writes a range: chunk after chunk, until one fails.
    UINT32 Left = Length;
    while (Left != 0) {
      const uint32_t Done = Length - Left;
      const UINT32 Before = Left;
      if (!FlashDeviceOps->Program(Address + Done, Data.data() + Done, &Left, IsMemory)) {
        HonestFailure |= Programmable;
        Resync(Offset + Done, Length - Done);
        break;
      }
      if (Left >= Before) {
        Wrong = "program consumed nothing";
        break;
      }
      std::copy(Data.begin() + Done, Data.begin() + (Length - Left), Reference.begin() + Offset + Done);
    }
  }
  if (Wrong.empty() && Reference != Part.Memory) {
    const size_t First = std::mismatch(Reference.begin(), Reference.end(), Part.Memory.begin()).first - Reference.begin();
    std::ostringstream W;
    W << "part differs from the reference at offset 0x" << std::hex << First << " (part 0x" << +Part.Memory[First]
      << ", reference 0x" << +Reference[First] << ")";
    Wrong = W.str();
  }
  if (Wrong.empty()) return true;
  std::ostringstream Out;
  Out << Real->Label() << " [" << C.Name << "; " << Detail << "]: call " << std::dec << Number << " " << OpNames[Op]
      << "(0x" << std::hex << Offset << ", length 0x" << Length << (IsMemory ? ", memory" : ", command") << "): "
      << Wrong << "; seed 0x" << InitialSeed;
  Detail = Out.str();
  return false;
}

// Runs part Index under configuration C in a child; its verdict and detail come back through a
// pipe.
struct Child {
  pid_t Pid;
  int Fd;
  size_t Part;
};

Child StartChild(const RealPart &R, size_t Index, size_t Config) {
  int Pipe[2];
  if (pipe(Pipe) != 0) std::abort();
  std::fflush(nullptr);
  const pid_t Pid = fork();
  if (Pid == 0) {
    close(Pipe[0]);
    PartRun Run;
    const Verdict V = Run.Run(R, Configs[Config], BaseSeed + Index * 8 + Config);
    const std::string Line = std::to_string(static_cast<int>(V)) + " " + Run.Detail;
    (void)!write(Pipe[1], Line.data(), Line.size());
    _exit(0);
  }
  close(Pipe[1]);
  return {Pid, Pipe[0], Index};
}

std::pair<Verdict, std::string> Finish(const Child &C) {
  std::string Line;
  char Buffer[4096];
  for (ssize_t N; (N = read(C.Fd, Buffer, sizeof Buffer)) > 0;) Line.append(Buffer, static_cast<size_t>(N));
  close(C.Fd);
  int Status = 0;
  waitpid(C.Pid, &Status, 0);
  if (Line.empty() || !WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
    return {Verdict::Corrupting, "the run stopped (status " + std::to_string(Status) + ")"};
  const size_t Space = Line.find(' ');
  return {static_cast<Verdict>(std::stoi(Line.substr(0, Space))), Line.substr(Space + 1)};
}

std::string Names(const std::vector<std::string> &List) {
  std::string Out;
  for (const std::string &N : List) Out += (Out.empty() ? "" : ", ") + N;
  return Out;
}

// The simulated real part itself: what the conformance run relies on it to do.
struct RealPartModel : ::testing::Test {
  sim::SimClock Clock;
  sim::SpiNorPart Part{Clock};
  sim::SpiNorProfile Profile;
  std::vector<uint8_t> Send(uint8_t Opcode, std::vector<uint8_t> Out = {}, size_t InCount = 0) {
    std::vector<uint8_t> In(InCount);
    sim::TheBoard().Cpu.Tsc += uint64_t{Clock.TscMhz} * 1000;  // whatever ran before has finished
    Part.Transfer(Opcode, Out, In);
    return In;
  }
  void SetUp() override {
    Profile.Size = 0x400000;
    Profile.Erases = {{0x20, {{0x1000, 1024}}}, {0xD8, {{0x2000, 4}, {0x8000, 1}, {0x10000, 62}, {0x8000, 1}, {0x2000, 4}}}};
    Profile.Id = {0xBF, 0x26, 0x42};
  }
};

TEST_F(RealPartModel, ThreeBytePartTakesAFourthAddressByteAsData) {
  Part.UseProfile(Profile);
  Send(0xB7);  // not a command of this part
  EXPECT_FALSE(Part.FourByteMode);
  Send(0x06);
  Send(0x02, {0x00, 0x12, 0x34, 0x56, 0xAA});
  EXPECT_EQ(Part.Memory[0x1234], 0x56);
  EXPECT_EQ(Part.Memory[0x1235], 0xAA);
  EXPECT_EQ(Part.Memory[0x123456], 0xFF);
  // A read with four address bytes answers from one byte further on.
  EXPECT_EQ(Send(0x03, {0x00, 0x12, 0x34, 0x00}, 1), std::vector<uint8_t>{0xAA});
  Send(0x06);
  Send(0x21, {0x00, 0x00, 0x10, 0x00});  // no 4-byte erase: ignored, the latch stays
  EXPECT_EQ(Part.Memory[0x1234], 0x56);
  EXPECT_NE(Send(0x05, {}, 1)[0] & sim::SpiNorPart::StatusWriteEnabled, 0);
}

TEST_F(RealPartModel, ErasesTheBlockOfItsOwnLayout) {
  Part.UseProfile(Profile);
  std::fill(Part.Memory.begin(), Part.Memory.end(), 0x00);
  Send(0x06);
  Send(0xD8, {0x00, 0x00, 0x00});  // the first block is 8 KiB
  Send(0x05, {}, 1);
  EXPECT_EQ(std::count(Part.Memory.begin(), Part.Memory.end(), 0xFF), 0x2000);
  Send(0x06);
  Send(0xD8, {0x00, 0x90, 0x00});  // inside the 32 KiB block at 0x8000
  Send(0x05, {}, 1);
  EXPECT_EQ(std::count(Part.Memory.begin(), Part.Memory.end(), 0xFF), 0x2000 + 0x8000);
  EXPECT_EQ(Part.Memory[0x7FFF], 0x00);
  EXPECT_EQ(Part.Memory[0x8000], 0xFF);
  EXPECT_EQ(Part.Memory[0x10000], 0x00);
}

TEST_F(RealPartModel, AddressModeIdentifierAndProtectionAsTheRecordSays) {
  Profile.Size = 0x2000000;
  Profile.FourByteEntry = sim::SpiNorProfile::AddressModeEntry::EnterExitAfterWriteEnable;
  Profile.ProtectBits = 0x1C;
  Profile.IdOpcode = 0x90;
  Profile.IdDummyBytes = 3;
  Part.UseProfile(Profile);
  Send(0xB7);
  EXPECT_FALSE(Part.FourByteMode) << "0xB7 without the write-enable latch";
  Send(0x06);
  Send(0xB7);
  EXPECT_TRUE(Part.FourByteMode);
  // The identifier comes after three address bytes, so a read of three without them sees none.
  EXPECT_EQ(Send(0x90, {}, 3), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Send(0x90, {0, 0, 0}, 2), (std::vector<uint8_t>{0xBF, 0x26}));
  Send(0x06);
  Send(0x02, {0x00, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(Part.Memory[0], 0xFF) << "protected";
  Send(0x06);
  Send(0x01, {0x00});
  Send(0x06);
  Send(0x02, {0x00, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(Part.Memory[0], 0x00);
}

TEST(RealParts, NoPartTheTablesAcceptIsMisreadOrCorrupted) {
  const std::vector<RealPart> Parts = LoadRealParts(REAL_PARTS_DIR "/spi-nor-parts.json", REAL_PARTS_DIR "/linux-corrections.json");
  const char *Only = std::getenv("REAL_PARTS_ONLY");  // a part's name, to run it alone
  const unsigned Jobs = std::getenv("REAL_PARTS_JOBS") ? std::atoi(std::getenv("REAL_PARTS_JOBS")) : 2;
  std::map<size_t, Verdict> Worst;
  std::vector<std::string> Failures;
  std::vector<Child> Running;
  auto Collect = [&](const Child &C) {
    const auto [V, Detail] = Finish(C);
    Verdict &W = Worst.try_emplace(C.Part, V).first->second;
    if (static_cast<int>(V) > static_cast<int>(W)) W = V;
    if (V == Verdict::Corrupting) Failures.push_back(Detail);
  };
  // Identification does not depend on the windows: a part the first configuration does not
  // accept is not run under the others.
  for (size_t Config = 0; Config < std::size(Configs); ++Config) {
    for (size_t I = 0; I < Parts.size(); ++I) {
      if (Only != nullptr && Parts[I].Label().find(Only) == std::string::npos) continue;
      if (Config != 0 && Worst.at(I) == Verdict::NotAccepted) continue;
      if (Running.size() >= std::max(Jobs, 1u)) {
        Collect(Running.front());
        Running.erase(Running.begin());
      }
      Running.push_back(StartChild(Parts[I], I, Config));
    }
    for (const Child &C : Running) Collect(C);
    Running.clear();
  }

  std::map<Verdict, std::vector<std::string>> By;
  for (const auto &[Index, V] : Worst) By[V].push_back(Parts[Index].Label());
  std::printf("real parts: %zu accepted and correct; %zu accepted with honest failures only (%s); %zu not accepted (%s); "
              "%zu corrupting (%s)\n",
              By[Verdict::Correct].size(), By[Verdict::Honest].size(), Names(By[Verdict::Honest]).c_str(),
              By[Verdict::NotAccepted].size(), Names(By[Verdict::NotAccepted]).c_str(), By[Verdict::Corrupting].size(),
              Names(By[Verdict::Corrupting]).c_str());
  for (const std::string &F : Failures) ADD_FAILURE() << F;
  EXPECT_TRUE(By[Verdict::Corrupting].empty());
}

}  // namespace
}  // namespace flash_test
