#include <flash/address_mode.h>
#include <flash/identify.h>
#include <flash/translation.h>

#include "flash_board.h"

namespace flash_test {
namespace {

using AddressModeTest = FlashBoard;

std::vector<uint8_t> AddressModeOpcodes(const SpiNorPart &Part) {
  std::vector<uint8_t> Out;
  for (uint8_t Op : Part.Opcodes())
    if (Op == 0xB7 || Op == 0xE9 || Op == 0x29) Out.push_back(Op);
  return Out;
}

TEST_F(AddressModeTest, SixteenMegabytePartIsLeftAloneEitherWay) {
  Part.SetJedecId(0xEF, 0x40, 0x18);
  WideWindow();
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(WideWindowEnabled, 1);
  EXPECT_TRUE(AddressModeOpcodes(Part).empty());
  EXPECT_EQ(FourByteAddressMode, 0);
  EXPECT_FALSE(ExitFourByteMode(PartIdLow));
}

TEST_F(AddressModeTest, SixteenMegabytePartWithoutWideWindow) {
  Part.SetJedecId(0xEF, 0x40, 0x18);
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_TRUE(AddressModeOpcodes(Part).empty());
}

TEST_F(AddressModeTest, LargePartEntersFourByteModeWithTheWideWindow) {
  Part.SetJedecId(0xEF, 0x40, 0x19);  // 32 MiB
  WideWindow();
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(AddressModeOpcodes(Part), (std::vector<uint8_t>{0xB7}));
  EXPECT_TRUE(Part.FourByteMode);
  EXPECT_EQ(FourByteAddressMode, 1);
  EXPECT_EQ(WideWindowSize, 0x4000000u);
}

struct ExitCase {
  std::array<uint8_t, 3> Id;
  uint8_t Opcode;
};
struct ExitTest : FlashBoard, ::testing::WithParamInterface<ExitCase> {};
void PrintTo(const ExitCase &C, std::ostream *Os) { *Os << std::hex << int(C.Id[0]) << " " << int(C.Id[1]); }

TEST_P(ExitTest, LargePartLeavesFourByteModeWithoutTheWideWindow) {
  const ExitCase &C = GetParam();
  Part.SetJedecId(C.Id[0], C.Id[1], C.Id[2]);
  Part.FourByteMode = true;  // left so by an earlier boot stage
  Part.ExitFourByteOpcodes = {C.Opcode};
  Controller.SetRegister(0x50, 1);  // enabled by the controller, but the processor is too old
  B.Cpu.Cpuid[1] = {0x00820F00, 0, 0, 0};
  ASSERT_EQ(Start(), EFI_SUCCESS);
  EXPECT_EQ(AddressModeOpcodes(Part), (std::vector<uint8_t>{C.Opcode}));
  EXPECT_FALSE(Part.FourByteMode);
  EXPECT_EQ(FourByteAddressMode, 0);
  EXPECT_EQ(WideWindowEnabled, 0);
}

INSTANTIATE_TEST_SUITE_P(Parts, ExitTest,
                         ::testing::Values(ExitCase{{0xEF, 0x40, 0x19}, 0xE9}, ExitCase{{0xC2, 0x20, 0x20}, 0xE9},
                                           ExitCase{{0x9D, 0x60, 0x19}, 0x29}, ExitCase{{0x9D, 0x70, 0x19}, 0x29},
                                           ExitCase{{0x20, 0x60, 0x19}, 0x29}, ExitCase{{0x20, 0x70, 0x19}, 0x29},
                                           ExitCase{{0x20, 0xBA, 0x19}, 0xE9}));

TEST_F(AddressModeTest, WideWindowNeedsTheProcessorSignatureAndTheControllerBit) {
  struct Case {
    uint32_t Signature, Reg50;
    BOOLEAN Result;
  };
  // Bits 15:12 and 7:0 of the signature do not count. A check that fails changes nothing, so
  // the passing cases come last.
  for (const Case &C : {Case{0x00820F00, 1, FALSE}, Case{0x00820FFF, 0xFFFFFFFF, FALSE}, Case{0x00830F00, 0, FALSE},
                        Case{0x00830F00, 0xFFFFFFFE, FALSE}, Case{0x0082FFFF, 1, FALSE}, Case{0x00060FB1, 1, FALSE},
                        Case{0x0083F0FF, 1, FALSE}, Case{0x00830F00, 1, TRUE}, Case{0x00A00F10, 1, TRUE}}) {
    SCOPED_TRACE(testing::Message() << std::hex << C.Signature << " " << C.Reg50);
    B.Cpu.Cpuid[1] = {C.Signature, 0, 0, 0};
    ControllerSnapshot[0x50 / 4] = C.Reg50;
    EXPECT_EQ(WideWindowCheck(), C.Result);
    EXPECT_EQ(WideWindowEnabled, C.Result);
    EXPECT_EQ(WideWindowSize, C.Result ? 0x4000000u : 0x1000000u);
  }
}

}  // namespace
}  // namespace flash_test
