// Common ground for the board driver tests: simulated UEFI services, the embedded
// controller on its ports, and a stored "Setup" record to start from.
#pragma once
#include <tests/common/access_match.h>
#include <sim/devices/embedded_controller.h>
#include <sim/uefi.h>

#include <functional>
#include <map>
#include <set>

#include <tests/allocation_sweep.h>

#include <board/setup_data.h>
#include <cfg_pcd_buffer/cfg_pcd_buffer.h>
#include <startup/library.h>
#include <tests/common/known_guids.h>
#include <tests/common/startup_checks.h>

namespace board_test {

using namespace sim;
using Tx = EmbeddedController::Transaction;

inline Tx Rd(uint8_t Bank, uint8_t Register, uint8_t Value) { return {false, Bank, Register, Value}; }
inline Tx Wr(uint8_t Bank, uint8_t Register, uint8_t Value) { return {true, Bank, Register, Value}; }

// Non-volatile and boot-service access only, so that a write with other attributes shows.
inline constexpr uint32_t SETUP_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;

// The ways a read of "Setup" fails: nothing stored, a pool refused, the second call failing,
// a record of another size, and a variable service that answers the size query or the read
// with a success or a warning that filled nothing.
enum class SetupFault { Missing, PoolRefused, SecondCallFails, Short, Long, QuerySucceeds, QueryWarns, ReadWarns };

// EFI_WARN_BUFFER_TOO_SMALL: not an error, yet nothing was read.
inline constexpr EFI_STATUS WARN_BUFFER_TOO_SMALL = 4;
inline const char *Name(SetupFault F) {
  switch (F) {
    case SetupFault::Missing:
      return "missing";
    case SetupFault::PoolRefused:
      return "pool refused";
    case SetupFault::SecondCallFails:
      return "second call fails";
    case SetupFault::Short:
      return "200 bytes";
    case SetupFault::Long:
      return "300 bytes";
    case SetupFault::QuerySucceeds:
      return "size query answers success";
    case SetupFault::QueryWarns:
      return "size query answers a warning";
    case SetupFault::ReadWarns:
      return "second call answers a warning";
  }
  return "?";
}
inline constexpr SetupFault AllSetupFaults[] = {
    SetupFault::Missing, SetupFault::PoolRefused,   SetupFault::SecondCallFails, SetupFault::Short,
    SetupFault::Long,    SetupFault::QuerySucceeds, SetupFault::QueryWarns,      SetupFault::ReadWarns};

struct BoardDriverTest : ::testing::Test {
  Uefi U;
  EmbeddedController Ec;

  void SetUp() override { Ec.Attach(TheBoard()); }

  // A record whose every byte differs from its neighbours, so a shifted copy shows.
  static std::vector<uint8_t> Pattern(size_t Size = 273) {  // the size of "Setup"
    std::vector<uint8_t> Bytes(Size);
    for (size_t I = 0; I < Size; ++I) Bytes[I] = static_cast<uint8_t>(I * 7 + 3);
    return Bytes;
  }
  void StoreSetup(const std::vector<uint8_t> &Bytes) {
    U.SetVar(u"Setup", known::SetupVariableGuid, SETUP_ATTRIBUTES, Bytes);
  }
  std::vector<uint8_t> StoredSetup() const {
    const Uefi::Variable *V = U.GetVar(u"Setup", known::SetupVariableGuid);
    return V ? V->Data : std::vector<uint8_t>{};
  }
  // The stored record equals Before with only the given bytes changed, and kept its attributes.
  void ExpectSetup(std::vector<uint8_t> Before, const std::map<size_t, uint8_t> &Changes) {
    for (auto [Offset, Value] : Changes) Before.at(Offset) = Value;
    const Uefi::Variable *V = U.GetVar(u"Setup", known::SetupVariableGuid);
    ASSERT_NE(V, nullptr);
    EXPECT_EQ(V->Attributes, SETUP_ATTRIBUTES);
    ASSERT_EQ(V->Data.size(), Before.size());
    for (size_t I = 0; I < Before.size(); ++I) EXPECT_EQ(+V->Data[I], +Before[I]) << "Setup byte " << I;
  }
  // A fresh store and fresh call counts for another start in the same test; the image's
  // globals stay as the previous start left them.
  void NextRun() {
    TheBoard().Log.clear();
    Ec.Transactions.clear();
    U.Variables.clear();
    U.RefusePoolCalls.clear();
    U.FailGetVariableCalls.clear();
    U.SetVariableCalls = U.GetVariableCalls = U.PoolCalls = 0;
  }
  // Starts the driver once per allocation it makes, with that allocation refused (PCD protocols
  // and a token list present, so that every allocation is made): the entry reports success and
  // "Setup" is either as stored (Before) or written whole, every byte the driver does not own
  // as it was.
  unsigned SweepAllocations(const char *Image, const std::vector<uint8_t> &Before, const std::set<size_t> &Owned,
                            const std::function<EFI_STATUS()> &Start) {
    return allocation_sweep::Sweep(Image, [&](const allocation_sweep::Refusal &R) {
      Pcd P;
      P.Install(true, true);
      P.Values[91] = 2;
      P.Pointers[92] = std::vector<uint8_t>(16, 1);
      R.Apply(U, nullptr);
      EXPECT_EQ(Start(), EFI_SUCCESS);
      const Uefi::Variable *V = U.GetVar(u"Setup", gSetupVariableGuid);
      EXPECT_NE(V, nullptr);
      if (V != nullptr) {
        EXPECT_EQ(V->Attributes, SETUP_ATTRIBUTES);
        EXPECT_EQ(V->Data.size(), Before.size());
        for (size_t I = 0; I < Before.size() && I < V->Data.size(); ++I) {
          if (Owned.count(I) != 0) continue;
          EXPECT_EQ(+V->Data[I], +Before[I]) << "Setup byte " << I;
        }
      }
      return allocation_sweep::Calls::Of(U, nullptr);
    });
  }
  // Stores what the fault needs; PoolCall and SecondGetVariableCall number the calls the
  // driver's read makes. Returns the record stored, if any.
  std::vector<uint8_t> InjectSetupFault(SetupFault Fault, unsigned PoolCall, unsigned SecondGetVariableCall);
  void ExpectStartupKeepsHobListAndPcdFields(const std::function<EFI_STATUS()> &Start) {
    startup_checks::ExpectHobListAndPcdFields(U, Start);
  }
};

inline std::vector<uint8_t> BoardDriverTest::InjectSetupFault(SetupFault Fault, unsigned PoolCall,
                                                              unsigned SecondGetVariableCall) {
  std::vector<uint8_t> Stored;
  switch (Fault) {
    case SetupFault::Missing:
      return Stored;
    case SetupFault::PoolRefused:
      U.RefusePoolCalls = {PoolCall};
      break;
    case SetupFault::SecondCallFails:
      U.FailGetVariableCalls[SecondGetVariableCall] = EFI_DEVICE_ERROR;
      break;
    case SetupFault::Short:
      Stored = Pattern(200);
      break;
    case SetupFault::Long:
      Stored = Pattern(300);
      break;
    case SetupFault::QuerySucceeds:
      U.FailGetVariableCalls[SecondGetVariableCall - 1] = EFI_SUCCESS;
      break;
    case SetupFault::QueryWarns:
      U.FailGetVariableCalls[SecondGetVariableCall - 1] = WARN_BUFFER_TOO_SMALL;
      break;
    case SetupFault::ReadWarns:
      U.FailGetVariableCalls[SecondGetVariableCall] = WARN_BUFFER_TOO_SMALL;
      break;
  }
  if (Stored.empty()) Stored = Pattern();
  StoreSetup(Stored);
  return Stored;
}

}  // namespace board_test

namespace sim {
inline std::ostream &operator<<(std::ostream &Out, const EmbeddedController::Transaction &T) {
  char Buf[48];
  std::snprintf(Buf, sizeof Buf, "%s %u:0x%02X = 0x%02X", T.Write ? "write" : "read ", T.Bank, T.Register, T.Value);
  return Out << Buf;
}
}  // namespace sim
