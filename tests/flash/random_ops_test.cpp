// Random work through the operations table against a plain byte array that applies what each
// call claims to have done. After every call the whole part must equal the reference: a call
// may fail, but it may never claim a range that does not hold what was asked, and never change
// a byte outside the range it was given. Fixed seeds; the seed, geometry and call number are
// printed with a failure.
#include <flash/data_ops.h>
#include <flash/device_ops.h>
#include <flash/translation.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "data_ops_fixture.h"

namespace flash_test {
namespace {

struct Geometry {
  const char *Name;
  std::array<uint8_t, 3> Id;
  uint32_t Size;
  uint32_t WindowBase, WindowSize;
  bool Wide;
};

const Geometry Geometries[] = {
    {"FourKSectors", Winbond16MB, 0x1000000, 0xFF000000, 0x1000000, false},        // 4 KiB sectors, 64 KiB erase
    {"PageSectors", {0x20, 0x80, 0x14}, 0x100000, 0xFFFF0000, 0x10000, false},      // 256-byte sectors, by command
    {"SixtyFourKSectors", {0x1C, 0x20, 0x15}, 0x200000, 0xFFE00000, 0x200000, false},  // 64 KiB sectors
    {"Wide32MB", Winbond32MB, 0x2000000, 0xFE000000, 0x2000000, true},
    {"Narrow32MB", Winbond32MB, 0x2000000, 0xFF000000, 0x1000000, false},  // the upper 16 MiB by command only
};

// Named in test output by its name, not by its bytes.
void PrintTo(const Geometry &G, std::ostream *Out) { *Out << G.Name; }

constexpr unsigned CallsPerGeometry = 2000;  // 10,000 over the five
constexpr unsigned FaultCallsPerGeometry = 1000;
// The image label runs the first calls of each case (RANDOM_OPS_CALLS in its environment, which
// the host run it is compared with inherits), with the same seeds.
unsigned CallsOf(unsigned Full) {
  const char *Limit = std::getenv("RANDOM_OPS_CALLS");
  return Limit && *Limit ? std::min<unsigned>(Full, std::strtoul(Limit, nullptr, 10)) : Full;
}

struct RandomOpsTest : DataOpsBoard, ::testing::WithParamInterface<std::tuple<Geometry, bool>> {
  uint64_t InitialSeed = 0, Seed = 0;
  uint64_t Random() {  // splitmix64
    uint64_t Z = (Seed += 0x9E3779B97F4A7C15ull);
    Z = (Z ^ (Z >> 30)) * 0xBF58476D1CE4E5B9ull;
    Z = (Z ^ (Z >> 27)) * 0x94D049BB133111EBull;
    return Z ^ (Z >> 31);
  }
  uint32_t Below(uint32_t N) { return static_cast<uint32_t>(Random() % N); }

  std::vector<uint8_t> Reference;
  // Takes the part's bytes in [Offset, Offset + Length) as they are: what a failed call may
  // have left there is not known.
  void Resync(uint32_t Offset, uint32_t Length) {
    Length = std::min(Length, Part.Size() - Offset);
    std::memcpy(&Reference[Offset], &Part.Memory[Offset], Length);
  }
  // The address handed to the table for a chip range: the processor address where the window
  // shows the whole range and the memory path was drawn, else the offset itself.
  std::pair<UINT64, BOOLEAN> AddressOf(uint32_t Offset, uint32_t Length) {
    UINT64 Memory = 0, Last = 0;
    if (Below(2) == 0 || !FlashToMemory(Offset, &Memory) || !FlashToMemory(Offset + Length - 1, &Last) ||
        Last != Memory + Length - 1)
      return {Offset, FALSE};
    return {Memory, TRUE};
  }

  // Injects one fault for the next call, at random; returns its name (null for none).
  const char *InjectFault(uint32_t Offset, uint32_t Length) {
    switch (Below(8)) {
      case 0:
        Part.FailNextErases = 1 + Below(3);
        return "erase that does not take";
      case 1:
        Part.StuckBits[Offset + Below(std::max(Length, 1u))] = static_cast<uint8_t>(1u << Below(8));
        return "bit that will not program";
      case 2:
        Controller.BusyNeverClears = true;
        return "busy controller";
      case 3: {
        static constexpr uint8_t Opcodes[] = {0x02, 0x03, 0x05, 0x06, 0x20, 0xD8, 0xDB, 0x12, 0x13, 0x21, 0xDC};
        Controller.RefusedOpcodes = {Opcodes[Below(sizeof Opcodes)]};
        return "refused opcode";
      }
      default:
        return nullptr;
    }
  }
  void ClearFaults() {
    Part.FailNextErases = 0;
    Part.StuckBits.clear();
    Controller.BusyNeverClears = false;
    Controller.RefusedOpcodes.clear();
  }

  void Run(unsigned Calls, bool Faults);
};

void RandomOpsTest::Run(unsigned Calls, bool Faults) {
  const uint32_t Size = Part.Size();
  const uint32_t Sector = FlashDeviceOps->SectorSize;
  for (unsigned Call = 0; Call < Calls; ++Call) {
    const unsigned Op = Below(4);
    // Lengths stay small, so that the run takes seconds; offsets anywhere in the part.
    uint32_t Offset = Below(Size);
    uint32_t Length = 0;
    std::string What;
    if (Op == 0) {
      Length = std::min(Below(4096) + 1, Size - Offset);
    } else if (Op == 1 || Op == 2) {
      Offset = Offset / Sector * Sector;
      if (Op == 2) Length = std::min((Below(std::max(0x40000 / Sector, 1u)) + 1) * Sector, Size - Offset);
      else Length = 0x1000;
      if (Offset + Length > Size) continue;
      if (Below(16) == 0 && Op == 2) Offset += 1;  // off the sector size: refused, nothing sent
    } else {
      Length = std::min(Below(300) + 1, Size - Offset);
    }
    B.StartRun();  // the run budget is per call
    const char *Fault = Faults ? InjectFault(Offset, Length) : nullptr;
    const auto [Address, IsMemory] = AddressOf(Offset, std::max(Length, 1u));
    std::ostringstream Trace;
    Trace << std::get<0>(GetParam()).Name << " call " << Call << (Fault ? std::string(", fault: ") + Fault : "")
          << ", offset 0x" << std::hex << Offset << ", length 0x" << Length << (IsMemory ? ", memory" : ", command");
    SCOPED_TRACE(Trace.str());

    if (Op == 0) {
      std::vector<UINT8> Buffer(Length, 0x5A);
      UINT32 Left = Length;
      FlashDeviceOps->Read(Address, Buffer.data(), &Left, IsMemory);
      EXPECT_EQ(Left, 0u);
      // A read reports nothing; only a healthy transport must bring back the part's bytes.
      if (Fault == nullptr || Controller.RefusedOpcodes.empty() && !Controller.BusyNeverClears)
        ASSERT_TRUE(std::equal(Buffer.begin(), Buffer.end(), Reference.begin() + Offset)) << "read";
    } else if (Op == 1) {
      if (!IsMemory) {  // EraseSector takes processor addresses only
        ClearFaults();
        continue;
      }
      const BOOLEAN Erased = FlashDeviceOps->EraseSector(Address);
      if (Erased) {
        std::fill(Reference.begin() + Offset, Reference.begin() + Offset + Length, 0xFF);
      } else {
        EXPECT_TRUE(Faults || Sector > 0x1000) << "sector erase failed on a healthy part";
        Resync(Offset, Length);
      }
    } else if (Op == 2) {
      const EFI_STATUS Status = FlashDeviceOps->Erase(Address, Length, IsMemory);
      if (Offset % Sector != 0) {
        EXPECT_EQ(Status, EFI_INVALID_PARAMETER);
      } else if (Status == EFI_SUCCESS) {
        std::fill(Reference.begin() + Offset, Reference.begin() + Offset + Length, 0xFF);
      } else {
        EXPECT_TRUE(Faults) << "erase failed on a healthy part";
        Resync(Offset, Length);
      }
    } else {
      std::vector<UINT8> Data(Length);
      // Mostly data the range can take without an erase, sometimes data it cannot.
      const bool Programmable = Below(4) != 0;
      for (uint32_t I = 0; I < Length; ++I)
        Data[I] = static_cast<UINT8>(Random() & (Programmable ? Reference[Offset + I] : 0xFF));
      UINT32 Left = Length;
      if (FlashDeviceOps->Program(Address, Data.data(), &Left, IsMemory)) {
        ASSERT_LE(Left, Length);
        const uint32_t Done = Length - Left;
        std::copy(Data.begin(), Data.begin() + Done, Reference.begin() + Offset);
      } else {
        EXPECT_EQ(Left, Length);
        EXPECT_TRUE(Faults || !Programmable) << "program of programmable data failed on a healthy part";
        Resync(Offset, Length);
      }
    }
    ClearFaults();
    if (Reference != Part.Memory) {
      size_t First = 0;
      while (Reference[First] == Part.Memory[First]) ++First;
      FAIL() << "part differs from the reference at 0x" << std::hex << First << ": part 0x" << +Part.Memory[First]
             << ", reference 0x" << +Reference[First] << " (seed 0x" << InitialSeed << ", after " << std::dec << Call + 1
             << " calls)";
    }
  }
}

TEST_P(RandomOpsTest, AgainstAReference) {
  const auto &[G, Faults] = GetParam();
  Part.ProgramUs = 1;
  Part.Erase4KUs = Part.Erase64KUs = 2;
  StartWith(G.Id, G.Size, G.WindowBase, G.WindowSize, G.Wide);
  ASSERT_EQ(FlashDeviceOps->SectorSize, G.Name == std::string("PageSectors")         ? 0x100u
                                        : G.Name == std::string("SixtyFourKSectors") ? 0x10000u
                                                                                     : 0x1000u);
  B.Logging = false;
  Part.Record = false;
  B.Cpu.TscStep = 1000;  // coarser delays: fewer counter reads per microsecond
  // A large erase behind a busy controller polls it 255 times for every command of every verify.
  B.Budget.Touches = 100'000'000;
  InitialSeed = Seed = 0x5EED0000 + (Faults ? 1 : 0);
  // Start from a part that is partly programmed, partly erased.
  for (uint32_t I = 0; I < Part.Size(); I += 0x10000)
    if (Below(2) == 0) std::fill(Part.Memory.begin() + I, Part.Memory.begin() + I + 0x10000, static_cast<uint8_t>(Random()));
  Reference = Part.Memory;
  Run(CallsOf(Faults ? FaultCallsPerGeometry : CallsPerGeometry), Faults);
}

INSTANTIATE_TEST_SUITE_P(Geometries, RandomOpsTest,
                         ::testing::Combine(::testing::ValuesIn(Geometries), ::testing::Bool()),
                         [](const auto &Info) {
                           return std::string(std::get<0>(Info.param).Name) +
                                  (std::get<1>(Info.param) ? "WithFaults" : "");
                         });

}  // namespace
}  // namespace flash_test
