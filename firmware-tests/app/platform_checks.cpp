// Checks on the platform image: the board's drivers as the firmware's own dispatchers ran them.
// The first boot leaves "Setup" for the drivers of the next boot, which run before any
// application; the second looks at what each driver did, through UEFI services and, for the
// SMM driver, through the test platform's SMI handler. What the drivers wrote to the board's
// ports QEMU captures, and platform-ports checks after each boot.
#include "platform_checks.h"

#include <hw/hw.h>

#include "board_files.h"
#include "checks.h"
#include "loading.h"
#include "platform_run.h"
#include "rtc.h"
#include "test_platform.h"

namespace {

constexpr CHAR16 SetupName[] = u"Setup";
constexpr UINT32 SETUP_ATTRIBUTES = PLATFORM_SETUP_ATTRIBUTES;
static_assert(PLATFORM_SETUP_SIZE == SETUP_SIZE);

EFI_SMRAM_DESCRIPTOR Smram[8];
UINTN SmramCount = 0;

bool InSmram(UINT64 Address) {
  for (UINTN I = 0; I < SmramCount; ++I)
    if (Address >= Smram[I].CpuStart && Address - Smram[I].CpuStart < Smram[I].PhysicalSize) return true;
  return false;
}

EFI_LOADED_IMAGE_PROTOCOL *Dispatched(const EFI_GUID &File) {
  EFI_HANDLE *Handles = nullptr;
  UINTN Count = 0;
  EFI_LOADED_IMAGE_PROTOCOL *Found = nullptr;
  Bs->LocateHandleBuffer(ByProtocol, &gEfiLoadedImageProtocolGuid, nullptr, &Count, &Handles);
  for (UINTN I = 0; I < Count && !Found; ++I) {
    EFI_LOADED_IMAGE_PROTOCOL *Image = nullptr;
    Bs->HandleProtocol(Handles[I], &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Image));
    if (Image && PathNamesFile(Image->FilePath, File)) Found = Image;
  }
  if (Handles) Bs->FreePool(Handles);
  return Found;
}

bool DispatchedByName(const char *Name) {
  for (const BOARD_FIRMWARE_FILE &F : BoardFirmwareFiles)
    if (StrEq(F.Name, Name)) return Dispatched(F.FileGuid) != nullptr;
  return false;
}

bool AllOnes(UINT64 Address, UINTN Length) {
  const auto *P = reinterpret_cast<const volatile UINT8 *>(Address);
  for (UINTN I = 0; I < Length; ++I)
    if (P[I] != 0xFF) return false;
  return true;
}

void CheckDispatch() {
  for (const BOARD_FIRMWARE_FILE &F : BoardFirmwareFiles) {
    const EFI_LOADED_IMAGE_PROTOCOL *Image = Dispatched(F.FileGuid);
    Check(Image != nullptr, F.Name);
    Log << (F.Mm ? ": dispatched by the SMM core" : ": dispatched by the DXE core") << " from file " << F.FileGuid;
    if (Image == nullptr) {
      Log << ": no loaded image names the file (its dependency expression was never met?)";
      Log.End();
      continue;
    }
    Log << ", image at ";
    Log.Hex(reinterpret_cast<UINT64>(Image->ImageBase)).End();
    if (!F.Mm) continue;
    const auto Base = reinterpret_cast<UINT64>(Image->ImageBase);
    Check(InSmram(Base) && InSmram(Base + Image->ImageSize - 1) && AllOnes(Base, Image->ImageSize), F.Name);
    Log << ": its " << Image->ImageSize << " bytes lie in SMRAM and read all ones from outside SMM";
    Log.End();
  }
  const EFI_GUID *NeverDispatched = nullptr;
  for (const BOARD_FIRMWARE_FILE &F : TestPlatformFirmwareFiles)
    if (StrEq(F.Name, "NeverDispatchedDxe")) NeverDispatched = &F.FileGuid;
  Check(NeverDispatched && Dispatched(*NeverDispatched) == nullptr, "a driver whose dependency nothing installs is not dispatched");
  Log.End();
}

// Bytes of "Setup" that each board driver owns, and what it must leave there when every EC
// register reads the EC data port's captured answer, whose bits 0 and 4 are set.
struct SETUP_EFFECT {
  const char *Driver;
  UINT16 Offset;
  UINT8 Value;
};
constexpr UINT8 EC_ANSWER = CapturedAnswer(0x68);
static_assert((EC_ANSWER & 0x11) == 0x11 && StoredSetup(272) == 2);
constexpr SETUP_EFFECT SetupEffects[] = {
    {"EcSetupSyncDxe", 55, 1},          // bit 4 of register 0x81
    {"EcSetupSyncDxe", 57, EC_ANSWER},  // register 0x85, the low byte of a non-zero word
    {"EcSetupSyncDxe", 58, EC_ANSWER},  // register 0x84, its high byte
    {"EcSetupSyncDxe", 59, EC_ANSWER},  // register 0x86, non-zero
    {"SioSetupDxe", 272, 1},            // the one-shot mode 2, acted on
    {"EcBoardConfigDxe", 138, 0},       // bit 0 of register 0x45 set
};

void CheckSetup() {
  UINT8 Got[SETUP_SIZE + 16];
  UINTN Size = sizeof Got;
  UINT32 Attributes = 0;
  const EFI_STATUS Status = Rs->GetVariable(SetupName, &gSetupVariableGuid, &Attributes, &Size, Got);
  if (!CheckStatus(Status, EFI_SUCCESS, "\"Setup\" readable after the drivers ran")) return;
  bool Others = Size == SETUP_SIZE && Attributes == SETUP_ATTRIBUTES;
  for (UINTN I = 0; I < SETUP_SIZE; ++I) {
    bool Owned = false;
    for (const SETUP_EFFECT &E : SetupEffects) Owned |= E.Offset == I;
    if (!Owned && Got[I] != StoredSetup(I)) Others = false;
  }
  Check(Others, "\"Setup\": 273 bytes, attributes as stored, every byte no driver owns as stored");
  Log.End();
  for (const BOARD_FIRMWARE_FILE &F : BoardFirmwareFiles) {
    bool Any = false, Ok = true;
    for (const SETUP_EFFECT &E : SetupEffects)
      if (StrEq(E.Driver, F.Name)) Any = true, Ok &= Got[E.Offset] == E.Value;
    if (!Any) continue;
    Check(Ok, F.Name);
    Log << ": wrote its \"Setup\" bytes at entry:";
    for (const SETUP_EFFECT &E : SetupEffects)
      if (StrEq(E.Driver, F.Name)) {
        Log << " " << static_cast<UINT64>(E.Offset) << "=";
        Log.Hex(Got[E.Offset]) << (Got[E.Offset] == E.Value ? "" : " (expected ");
        if (Got[E.Offset] != E.Value) Log.Hex(E.Value) << ")";
      }
    Log.End();
  }
}

// The reads that fill the configuration buffer, then those of the token list, as the images
// make them.
constexpr TEST_PCD_READ BufferReads[] = {{1055, PcdGetBool}, {1435, PcdGetBool}, {1352, PcdGet8},  {1438, PcdGet32},
                                         {1436, PcdGetBool}, {1363, PcdGet32},   {1362, PcdGet32}, {1437, PcdGet8}};
constexpr TEST_PCD_READ TokenListReads[] = {{91, PcdGet32}, {92, PcdGetPtr}};
struct PCD_READER {
  const char *Image;
  bool Buffer, TokenList;
};
constexpr PCD_READER PcdReaders[] = {{"FlashAccessDxe", true, false},     {"MediaCapsuleSmm", true, true},
                                     {"EcSetupSyncDxe", true, true},      {"SioSetupDxe", true, true},
                                     {"EcBoardConfigDxe", true, false},   {"EcChannelConfigDxe", true, false},
                                     {"LegacyInterruptDxe", false, false}};

const char *MemberName(UINT8 Member) {
  constexpr const char *Names[] = {"?", "Get8", "Get16", "Get32", "Get64", "GetPtr", "GetBool", "GetSize"};
  return Member < sizeof Names / sizeof Names[0] ? Names[Member] : "?";
}

void LogReads(const TEST_PCD_READ *Reads, UINT32 Count) {
  for (UINT32 I = 0; I < Count; ++I)
    Log << " " << static_cast<UINT64>(Reads[I].Token) << " " << MemberName(Reads[I].Member);
}

// Each image's own reads, in order; the SMM image's count only if the PCD protocol saw them
// come from its image in SMRAM.
void CheckPcdReads(const TEST_PLATFORM_PROTOCOL *Platform) {
  for (const PCD_READER &R : PcdReaders) {
    TEST_PCD_READ Want[16];
    UINT32 Count = 0;
    if (R.Buffer)
      for (const TEST_PCD_READ &Read : BufferReads) Want[Count++] = Read;
    if (R.TokenList)
      for (const TEST_PCD_READ &Read : TokenListReads) Want[Count++] = Read;
    const TEST_PCD_LOG *Got = nullptr;
    for (UINTN F = 0; F < sizeof BoardFirmwareFiles / sizeof BoardFirmwareFiles[0]; ++F)
      if (Platform && StrEq(BoardFirmwareFiles[F].Name, R.Image)) Got = &Platform->BoardPcdReads[F];
    bool Ok = Got && Got->Count == Count;
    for (UINT32 I = 0; Ok && I < Count; ++I)
      Ok = Got->Reads[I].Token == Want[I].Token && Got->Reads[I].Member == Want[I].Member;
    Check(Ok, R.Image);
    Log << (Count ? ": read the board's PCD tokens, in order:" : ": read none of the board's PCD tokens");
    LogReads(Want, Count);
    if (!Ok && Got) {
      Log << " (read " << static_cast<UINT64>(Got->Count) << ":";
      LogReads(Got->Reads, Got->Count < 16 ? Got->Count : 16);
      Log << ")";
    }
    Log.End();
  }
}

// SioSetupDxe looks for the boot-script service once, at start-up, and records nothing with it;
// no other board image looks for it.
void CheckS3SaveState(const TEST_PLATFORM_PROTOCOL *Platform) {
  UINT64 SioLocated = 0, OthersLocated = 0, Calls = 0;
  for (UINTN F = 0; Platform && F < sizeof BoardFirmwareFiles / sizeof BoardFirmwareFiles[0]; ++F) {
    const TEST_S3_LOG &Use = Platform->BoardS3SaveState[F];
    Calls += Use.BootScriptCalls;
    (StrEq(BoardFirmwareFiles[F].Name, "SioSetupDxe") ? SioLocated : OthersLocated) += Use.Located;
  }
  Check(Platform && SioLocated == 1 && OthersLocated == 0 && Calls == 0,
        "SioSetupDxe: located EFI_S3_SAVE_STATE_PROTOCOL once and recorded no boot-script entry with it");
  Log << ": located by SioSetupDxe " << SioLocated << " time(s), by the other images " << OthersLocated
      << ", boot-script calls " << Calls;
  Log.End();
}

void CheckLegacyInterrupt() {
  EFI_LEGACY_INTERRUPT_PROTOCOL *Pirq = nullptr;
  Bs->LocateProtocol(&gEfiLegacyInterruptProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Pirq));
  UINT8 Count = 0, Bus = 0xEE, Device = 0xEE, Function = 0xEE;
  Check(Pirq && !EFI_ERROR(Pirq->GetNumberPirqs(Pirq, &Count)) && Count == 8 &&
            !EFI_ERROR(Pirq->GetLocation(Pirq, &Bus, &Device, &Function)) && Bus == 0 && Device == 0x14 &&
            Function == 3,
        "LegacyInterruptDxe: EFI_LEGACY_INTERRUPT_PROTOCOL answers: 8 PIRQs, router at 00:14.3");
  Log.End();
  if (Pirq == nullptr) return;
  // What these calls send to the routing ports is compared after the boot (platform-ports);
  // here, what each call returns.
  const PLATFORM_PIRQ_CALL *Wrong = nullptr;
  EFI_STATUS WrongStatus = EFI_SUCCESS;
  UINT8 WrongData = 0;
  for (const PLATFORM_PIRQ_CALL &C : PlatformPirqCalls) {
    UINT8 Data = 0xEE;  // stays so when the call is refused
    const EFI_STATUS Status = C.Write ? Pirq->WritePirq(Pirq, C.Pirq, C.Value) : Pirq->ReadPirq(Pirq, C.Pirq, &Data);
    const bool DataOk = C.Write || Data == (C.Status == EFI_SUCCESS ? C.Value : 0xEE);
    if ((Status != C.Status || !DataOk) && Wrong == nullptr) Wrong = &C, WrongStatus = Status, WrongData = Data;
  }
  Check(Wrong == nullptr,
        "LegacyInterruptDxe: WritePirq and ReadPirq: in-range calls succeed, a read gives the IRQ "
        "that the routing data port answers, out-of-range PIRQs and values are refused");
  if (Wrong) {
    Log << ": " << (Wrong->Write ? "WritePirq(" : "ReadPirq(") << static_cast<UINT64>(Wrong->Pirq);
    if (Wrong->Write) Log << ", " << static_cast<UINT64>(Wrong->Value);
    Log << ") returned ";
    Log.Status(WrongStatus);
    if (!Wrong->Write) Log << ", PirqData " << static_cast<UINT64>(WrongData);
  }
  Log.End();
}

void CheckRomSignature(const TEST_PLATFORM_PROTOCOL *Platform) {
  constexpr UINT8 Expected[9] = {'Q', 'X', 'V', '-', 'T', 'B', 'N', '4', 0};
  Check(Platform && *Platform->LegacyOpenCalls >= 1 && *Platform->LegacyCloseCalls == *Platform->LegacyOpenCalls &&
            MemEq(reinterpret_cast<const VOID *>(0xFF5F0), Expected, sizeof Expected),
        "FlashAccessDxe: at the firmware's ReadyToBoot, \"QXV-TBN4\" and a zero byte at 0xFF5F0 through the "
        "legacy-region protocol");
  Log.End();
}

// One request through the test platform's SMI handler.
EFI_SMM_COMMUNICATION_PROTOCOL *Comm = nullptr;
TEST_SMI_MESSAGE *Message = nullptr;
UINT8 *Block = nullptr;  // a block in the same pages, which SMM may read

TEST_SMI_REQUEST &Smi(TEST_SMI_REQUEST Request) {
  Message->HeaderGuid = gTestPlatformSmiGuid;
  Message->MessageLength = sizeof(TEST_SMI_REQUEST);
  Message->Request = Request;
  Message->Request.Status = EFI_NOT_STARTED;
  UINTN Size = sizeof(TEST_SMI_MESSAGE);
  const EFI_STATUS Status = Comm->Communicate(Comm, Message, &Size);
  if (EFI_ERROR(Status)) Message->Request.Status = Status;
  return Message->Request;
}

EFI_STATUS Command(UINT8 Code, const UINT8 *Data, UINT32 Value) {
  TEST_SMI_REQUEST R = {};
  R.Function = TestSmiCommand;
  R.Command.Command = Code;
  if (Data) Bs->CopyMem(R.Command.Data, const_cast<UINT8 *>(Data), 16);
  R.Command.Value = Value;
  return Smi(R).Status;
}

EFI_STATUS Stage(UINT64 Source, UINT32 Offset, UINT32 Length) {
  TEST_SMI_REQUEST R = {};
  R.Function = TestSmiStageBlock;
  R.Stage = {Source, Offset, Length};
  return Smi(R).Status;
}

void CheckCapsule(const TEST_PLATFORM_PROTOCOL *Platform) {
  VOID *Found = nullptr;
  const EFI_STATUS InBoot = Bs->LocateProtocol(&gMediaCapsuleSmmProtocolGuid, nullptr, &Found);
  HEAP_RECORD_LIST_PROTOCOL *Heap = nullptr;
  Bs->LocateProtocol(&gHeapRecordListProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Heap));
  Check(Heap != nullptr && InSmram(reinterpret_cast<UINT64>(Heap)),
        "MediaCapsuleSmm: HEAP_RECORD_LIST_PROTOCOL installed, its record in SMRAM");
  Log.End();

  Bs->LocateProtocol(&gEfiSmmCommunicationProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Comm));
  if (!Check(Comm != nullptr && Platform && Platform->CommBuffer,
             "EFI_SMM_COMMUNICATION_PROTOCOL and the test platform's buffer"))
    return Log.End(), void();
  Log.End();
  Message = reinterpret_cast<TEST_SMI_MESSAGE *>(Platform->CommBuffer);
  Block = reinterpret_cast<UINT8 *>(Platform->CommBuffer + 0x1000);

  TEST_SMI_REQUEST Query = {};
  Query.Function = TestSmiQuery;
  const TEST_SMI_REQUEST Q = Smi(Query);
  if (!Check(Q.Status == EFI_SUCCESS && Q.StagingBuffer != 0,
             "MediaCapsuleSmm: MEDIA_CAPSULE_SMM_PROTOCOL in the SMM database, with its staging buffer"))
    return Log << ": status ", Log.Status(Q.Status).End(), void();
  Log.End();
  // Only meaningful once the SMM core has started the image and the SMM database has the protocol.
  Check(InBoot == EFI_NOT_FOUND && DispatchedByName("MediaCapsuleSmm"),
        "MediaCapsuleSmm: MEDIA_CAPSULE_SMM_PROTOCOL is in the SMM database only, not in the boot-services database");
  Log << ": LocateProtocol in boot services ";
  Log.Status(InBoot).End();
  // OVMF's own SMM drivers may register for other states once an Sx dispatcher exists.
  constexpr UINT32 S5_S4 = (1u << SxS5) | (1u << SxS4);
  CheckValue(Q.SxEntryTypes & S5_S4, S5_S4, "MediaCapsuleSmm: sleep-entry handler registered for S5 and S4");

  for (UINTN I = 0; I < 0x1000; ++I) Block[I] = static_cast<UINT8>(I * 7 + 1);
  const auto Source = reinterpret_cast<UINT64>(Block);
  Check(Stage(Source, 0, 0x800) == EFI_SUCCESS && Stage(Source + 0x800, 0x800, 0x800) == EFI_SUCCESS,
        "MediaCapsuleSmm: two blocks of 2 KiB staged from SMM");
  Log.End();
  Check(MemEq(reinterpret_cast<const VOID *>(Q.StagingBuffer), Block, 0x1000),
        "MediaCapsuleSmm: the blocks land in the staging buffer");
  Log.End();
  CheckStatus(Stage(Smram[0].CpuStart, 0, 0x10), EFI_ACCESS_DENIED,
              "MediaCapsuleSmm: StageBlock from SMRAM refused by the platform's buffer validation");

  const UINT8 Data[16] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 0};
  CheckStatus(Command(1, Data, 5), EFI_SUCCESS, "MediaCapsuleSmm: command 1 (media record) from SMM");
  static UINT8 Record[600];
  UINTN Size = sizeof Record;
  UINT32 Attributes = 0;
  EFI_STATUS Status =
      Rs->GetVariable(u"OruMediaCapsuleVariableName", &gMediaCapsuleVariableGuid, &Attributes, &Size, Record);
  bool Layout = Status == EFI_SUCCESS && Size == 560 && Attributes == 7;
  for (UINTN I = 0; I < 560 && Layout; ++I) {
    UINT8 Want = I == 556 ? 5 : 0;
    if (I >= 42 && I < 72) Want = (I - 42) % 2 ? 0 : Data[(I - 42) / 2];
    Layout = Record[I] == Want;
  }
  Check(Layout,
        "MediaCapsuleSmm: \"OruMediaCapsuleVariableName\" written by the SMM variable driver: 560 bytes, attributes 7, "
        "A..O at 42, 5 at 556");
  Log.End();

  const CHAR16 *Names[] = {u"CapsuleUpdateData", u"CapsuleUpdateData1"};
  for (const CHAR16 *Name : Names) Rs->SetVariable(Name, &gCapsuleVendorGuid, 0, 0, nullptr);
  const UINT8 NoAddress[16] = {};
  CheckStatus(Command(2, NoAddress, 0x1000), EFI_SUCCESS,
              "MediaCapsuleSmm: command 2 (schedule the 4 KiB staged) from SMM");
  UINT64 Descriptors = 0;
  Size = sizeof Descriptors;
  Status = Rs->GetVariable(u"CapsuleUpdateData", &gCapsuleVendorGuid, &Attributes, &Size, &Descriptors);
  Check(Status == EFI_SUCCESS && Attributes == 7 && Size == 8 && InSmram(Descriptors),
        "MediaCapsuleSmm: \"CapsuleUpdateData\" written: attributes 7, the descriptors' address (in SMRAM)");
  Log.End();

  const UINT32 Before = RtcSeconds();
  TEST_SMI_REQUEST Sx = {};
  Sx.Function = TestSmiRunSxEntry;
  Sx.SxType = SxS5;
  CheckStatus(Smi(Sx).Status, EFI_SUCCESS, "MediaCapsuleSmm: S5 entry handler run through the platform's Sx dispatch");
  const UINT32 After = RtcSeconds(), Alarm = AlarmSeconds();
  Check((RtcByte(0x0B) & 0x20) && (Alarm == (Before + 3) % 86400 || Alarm == (After + 3) % 86400),
        "MediaCapsuleSmm: RTC alarm set 3 s ahead of the RTC's time, alarm interrupt enabled");
  Log.End();
  const TEST_SMI_REQUEST Q2 = Smi(Query);
  Check(Q2.PreSleepRequestCalls == 1 && Q2.PreSleepNotifyCalls == 1,
        "MediaCapsuleSmm: both pre-sleep services called once");
  Log.End();
  RtcAlarmOff();
}

}  // namespace

void StorePlatformSetup() {
  UINT8 Setup[SETUP_SIZE];
  for (UINTN I = 0; I < SETUP_SIZE; ++I) Setup[I] = StoredSetup(I);
  Rs->SetVariable(SetupName, &gSetupVariableGuid, 0, 0, nullptr);
  CheckStatus(Rs->SetVariable(SetupName, &gSetupVariableGuid, SETUP_ATTRIBUTES, SETUP_SIZE, Setup), EFI_SUCCESS,
              "first boot: \"Setup\" stored for the drivers of the next boot");
}

void PlatformChecks() {
  const TEST_PLATFORM_PROTOCOL *Platform = nullptr;
  Bs->LocateProtocol(&gTestPlatformProtocolGuid, nullptr,
                     reinterpret_cast<VOID **>(const_cast<TEST_PLATFORM_PROTOCOL **>(&Platform)));
  EFI_SMM_ACCESS2_PROTOCOL *Access = nullptr;
  if (!EFI_ERROR(Bs->LocateProtocol(&gEfiSmmAccess2ProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Access)))) {
    UINTN Size = sizeof Smram;
    if (!EFI_ERROR(Access->GetCapabilities(Access, &Size, Smram))) SmramCount = Size / sizeof(EFI_SMRAM_DESCRIPTOR);
  }
  Check(Platform != nullptr && SmramCount > 0, "test platform: its DXE driver ran, SMRAM ranges known");
  Log.End();
  CheckDispatch();
  CheckSetup();
  CheckPcdReads(Platform);
  CheckS3SaveState(Platform);
  CheckLegacyInterrupt();
  CheckRomSignature(Platform);
  CheckCapsule(Platform);
}

