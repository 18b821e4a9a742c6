// MediaCapsuleSmm on real firmware, inside the test's own SMM environment (smm_env.h). Debian's
// OVMF has no SMM, so this proves loading, the calling convention and the services the driver
// uses, not SMRAM isolation: its "SMRAM" is ordinary boot-services memory here.
#include <capsule/media_capsule.h>
#include <hw/hw.h>

#include "platform.h"
#include "rtc.h"
#include "smm_env.h"
#include "suites.h"

namespace {

constexpr CHAR16 CapsuleUpdateData[] = u"CapsuleUpdateData";
constexpr CHAR16 CapsuleUpdateData1[] = u"CapsuleUpdateData1";
constexpr CHAR16 CapsuleUpdateData2[] = u"CapsuleUpdateData2";
constexpr CHAR16 MediaRecordName[] = u"OruMediaCapsuleVariableName";

struct STARTED {
  DRIVER_RUN Run;
  MEDIA_CAPSULE_SMM_PROTOCOL *Protocol;
};

STARTED StartCapsuleDriver(SmmEnvironment &Env, const SMM_ENV_OPTIONS &Options) {
  static const TEST_PCD_TOKEN Tokens[] = {{1055, 1, nullptr}};
  SetPcdTokens(Tokens, 1);
  TestPlatform Platform;
  Platform.Enter();
  Env.Enter(Options);
  STARTED S;
  S.Run = RunDriver("MediaCapsuleSmm");
  Platform.Leave();
  S.Protocol = static_cast<MEDIA_CAPSULE_SMM_PROTOCOL *>(Env.FindSmmProtocol(gMediaCapsuleSmmProtocolGuid));
  return S;
}

EFI_STATUS Stage(MEDIA_CAPSULE_SMM_PROTOCOL *P, const VOID *Source, UINT32 Offset, UINT32 Length) {
  const STAGE_BLOCK_REQUEST Request = {reinterpret_cast<UINT64>(Source), Offset, Length};
  return P->StageBlock(&Request);
}

EFI_STATUS Command(MEDIA_CAPSULE_SMM_PROTOCOL *P, UINT8 Code, const UINT8 *Data, UINT32 Value) {
  CAPSULE_COMMAND_REQUEST Request = {};
  Request.Command = Code;
  if (Data) Bs->CopyMem(Request.Data, Data, 16);
  Request.Value = Value;
  return P->Command(&Request);
}

EFI_STATUS CallS5Handler() {
  const EFI_SMM_SX_REGISTER_CONTEXT Context = {SxS5, SxEntry};
  return SxRegistrations[0].Handler(&SxRegistrations[0], &Context, nullptr, nullptr);
}

void DeleteCapsuleVariables() {
  static const CHAR16 *const Names[] = {CapsuleUpdateData, CapsuleUpdateData1, CapsuleUpdateData2};
  for (const CHAR16 *Name : Names) Rs->SetVariable(Name, &gCapsuleVendorGuid, 0, 0, nullptr);
}

void CheckStartUp(SmmEnvironment &Env, const STARTED &S) {
  if (!Check(S.Protocol != nullptr && S.Protocol->StagingBuffer != 0,
             "MediaCapsuleSmm: protocol in the SMM database with a non-zero StagingBuffer"))
    return Log.End(), void();
  Log.End();
  Check(SxRegistrationCount == 2 && SxRegistrations[0].Context.Type == SxS5 &&
            SxRegistrations[0].Context.Phase == SxEntry && SxRegistrations[1].Context.Type == SxS4 &&
            SxRegistrations[1].Context.Phase == SxEntry,
        "sleep-entry handler registered for S5 entry, then S4 entry");
  Log.End();
  HEAP_RECORD_LIST_PROTOCOL *Heap = nullptr;
  Bs->LocateProtocol(&gHeapRecordListProtocolGuid, nullptr, reinterpret_cast<VOID **>(&Heap));
  Check(Heap != nullptr && Heap->Revision == 1 && Heap->ListHead.ForwardLink == &Heap->ListHead &&
            Heap->ListHead.BackLink == &Heap->ListHead,
        "HEAP_RECORD_LIST_PROTOCOL installed, Revision 1, empty list (OVMF leaves no heap-record HOBs)");
  Log.End();
  CheckValue(SmmNotifyRegistrations, 1, "one SMM protocol notification registered");
  (void)Env;
}

void CheckStaging(MEDIA_CAPSULE_SMM_PROTOCOL *P) {
  static UINT8 Block[0x1000];
  for (UINTN I = 0; I < sizeof Block; ++I) Block[I] = static_cast<UINT8>(I * 7 + 1);
  auto *Staging = reinterpret_cast<UINT8 *>(P->StagingBuffer);
  CheckStatus(Stage(P, Block, 0, sizeof Block), EFI_SUCCESS, "StageBlock of 4 KiB at offset 0");
  Check(MemEq(Staging, Block, sizeof Block), "the block lands at StagingBuffer");
  Log.End();
  CheckStatus(Stage(P, Block, STAGING_CAPACITY - 0x10, 0x10), EFI_SUCCESS, "StageBlock ending exactly at 32 MiB");
  CheckStatus(Stage(P, Block, STAGING_CAPACITY - 0x10, 0x11), EFI_BUFFER_TOO_SMALL, "StageBlock one byte past 32 MiB");
  CheckStatus(Stage(P, Block, STAGING_CAPACITY, 0), EFI_SUCCESS, "StageBlock at offset 32 MiB, length 0");
  CheckStatus(Stage(P, reinterpret_cast<VOID *>(0x1000), 0, 0x10), EFI_ACCESS_DENIED,
              "StageBlock of a source the validation protocol refuses");
  CheckStatus(P->StageBlock(nullptr), EFI_INVALID_PARAMETER, "StageBlock(NULL)");

  MEDIA_CAPSULE_INFO Info;
  for (UINTN I = 0; I < sizeof Info; ++I) reinterpret_cast<UINT8 *>(&Info)[I] = 0x5A;
  CheckStatus(P->GetInfo(&Info), EFI_SUCCESS, "GetInfo");
  bool Kept = true;
  for (UINTN I = 0; I < 256; ++I) Kept &= Info.CallerBytes[I] == 0x5A;
  Check(Info.InfoCode == 0x0707 && Info.InfoFlag == 0 && Kept, "GetInfo: InfoCode 0x0707, InfoFlag 0, bytes 2..257 kept");
  Log.End();
  CheckStatus(Command(P, 0, nullptr, 0), EFI_INVALID_PARAMETER, "Command 0");
  CheckStatus(Command(P, 3, nullptr, 0), EFI_INVALID_PARAMETER, "Command 3");
  CheckStatus(Command(P, 4, nullptr, 0), EFI_SUCCESS, "Command 4");
}

void CheckMediaRecord(MEDIA_CAPSULE_SMM_PROTOCOL *P) {
  const UINT8 Data[16] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 0xE9};
  CheckStatus(Command(P, 1, Data, 5), EFI_SUCCESS, "Command 1 (media record)");
  static UINT8 Record[600];
  UINTN Size = sizeof Record;
  UINT32 Attributes = 0;
  const EFI_STATUS Status = Rs->GetVariable(MediaRecordName, &gMediaCapsuleVariableGuid, &Attributes, &Size, Record);
  bool Layout = Size == 560;
  for (UINTN I = 0; I < 560 && Layout; ++I) {
    UINT8 Want = 0;
    if (I >= 42 && I < 74) {
      const UINT16 Char = static_cast<UINT16>(static_cast<INT16>(static_cast<INT8>(Data[(I - 42) / 2])));
      Want = static_cast<UINT8>((I - 42) % 2 ? Char >> 8 : Char);
    }
    if (I == 556) Want = 5;
    Layout = Record[I] == Want;
  }
  Check(Status == EFI_SUCCESS && Attributes == 7 && Layout,
        "\"OruMediaCapsuleVariableName\": attributes 7, 560 bytes, A..O and 0xFFE9 at 42, 0 at 74, 5 at 556, zero elsewhere");
  Log.End();
}

// A bare 4 KiB image staged at offset 0, scheduled with Value 0x1000.
void CheckSchedule(MEDIA_CAPSULE_SMM_PROTOCOL *P) {
  DeleteCapsuleVariables();
  static UINT8 Image[0x1000];
  for (UINTN I = 0; I < sizeof Image; ++I) Image[I] = static_cast<UINT8>(0x80 + I);
  Stage(P, Image, 0, sizeof Image);
  const UINT8 NoAddress[16] = {};
  CheckStatus(Command(P, 2, NoAddress, 0x0FFF), EFI_INVALID_PARAMETER, "Command 2 with Value 0x0FFF for 0x1000 staged");
  CheckStatus(Command(P, 2, NoAddress, 0x1000), EFI_SUCCESS, "Command 2 on a staged bare image");
  UINT64 Descriptors = 0;
  UINTN Size = sizeof Descriptors;
  UINT32 Attributes = 0;
  EFI_STATUS Status = Rs->GetVariable(CapsuleUpdateData, &gCapsuleVendorGuid, &Attributes, &Size, &Descriptors);
  Check(Status == EFI_SUCCESS && Attributes == 7 && Size == 8 && Descriptors != 0,
        "\"CapsuleUpdateData\": attributes 7, 8 bytes, an address");
  Log.End();
  if (Descriptors == 0) return;
  const auto *Header = reinterpret_cast<const EFI_CAPSULE_HEADER *>(Descriptors - 32);
  const auto *D = reinterpret_cast<const EFI_CAPSULE_BLOCK_DESCRIPTOR *>(Descriptors);
  Check(Header->CapsuleGuid == gFirmwareCapsuleGuid && Header->HeaderSize == 28 && Header->Flags == 0x00010000 &&
            Header->CapsuleImageSize == 0x101C,
        "capsule header 32 bytes before the descriptors: firmware capsule GUID, 28, 0x00010000, 0x101C");
  Log.End();
  Check(D[0].Length == 28 && D[0].Union.DataBlock == reinterpret_cast<UINT64>(Header) && D[1].Length == 0x1000 &&
            D[1].Union.DataBlock == P->StagingBuffer && D[2].Length == 0 && D[2].Union.DataBlock == 0,
        "descriptors {28, header}, {0x1000, StagingBuffer}, {0, 0}");
  Log.End();

  const UINT64 Taken = 1;
  Rs->SetVariable(CapsuleUpdateData1, &gCapsuleVendorGuid, 7, 8, &Taken);
  CheckStatus(Command(P, 2, NoAddress, 0x1000), EFI_SUCCESS, "Command 2 with two capsule variables in use");
  UINT64 Third = 0;
  Size = sizeof Third;
  Status = Rs->GetVariable(CapsuleUpdateData2, &gCapsuleVendorGuid, &Attributes, &Size, &Third);
  Check(Status == EFI_SUCCESS && Third == Descriptors, "\"CapsuleUpdateData2\" written with the descriptors' address");
  Log.End();
}

// The recorded S5 handler, with no capsule and then with one. q35 decodes no PM1 block at
// 0x802/0x804, so the wake-enable and sleep-type writes land nowhere; the RTC is real.
void CheckSleepEntry(bool CapsuleScheduled) {
  const UINT8 AlarmBefore[3] = {RtcByte(0x01), RtcByte(0x03), RtcByte(0x05)};
  const UINT8 StatusB = RtcByte(0x0B);
  const UINT32 Before = RtcSeconds();
  const EFI_STATUS Status = CallS5Handler();
  const UINT32 After = RtcSeconds();
  if (!CapsuleScheduled) {
    CheckStatus(Status, EFI_WARN_INTERRUPT_SOURCE_QUIESCED, "S5 entry without a capsule");
    Check(RtcByte(0x01) == AlarmBefore[0] && RtcByte(0x03) == AlarmBefore[1] && RtcByte(0x05) == AlarmBefore[2] &&
              RtcByte(0x0B) == StatusB,
          "S5 entry without a capsule leaves the RTC alarm and status B alone");
    Log.End();
    return;
  }
  CheckStatus(Status, EFI_SUCCESS, "S5 entry with a capsule scheduled");
  const UINT32 Alarm = AlarmSeconds();
  Check((RtcByte(0x0B) & 0x20) != 0, "RTC status B has the alarm interrupt enabled (bit 5)");
  Log.End();
  Check(Alarm == (Before + 3) % 86400 || Alarm == (After + 3) % 86400, "RTC alarm reads the RTC time plus 3 s");
  Log.End();
  RtcAlarmOff();
}

}  // namespace

void MediaCapsuleSuite() {
  SmmEnvironment Env;
  // Start-up, staging and both commands with the SMM runtime-services table entry present.
  STARTED S = StartCapsuleDriver(Env, {.RuntimeServicesEntry = true});
  if (CheckLoadStart(S.Run, "MediaCapsuleSmm")) {
    CheckStartUp(Env, S);
    if (S.Protocol) {
      CheckStaging(S.Protocol);
      CheckMediaRecord(S.Protocol);
      CheckSleepEntry(false);
      CheckSchedule(S.Protocol);
      CheckSleepEntry(true);
      CheckValue(SmmRuntimeGetVariableCalls > 0, 1, "the S5 check asked the SMM runtime-services table");
    }
  }
  Env.Leave();

  // Without the table entry, the presence test goes through the SMM variable protocol.
  S = StartCapsuleDriver(Env, {});
  if (CheckLoadStart(S.Run, "MediaCapsuleSmm (no SMM runtime-services table)") && S.Protocol) {
    DeleteCapsuleVariables();
    static UINT8 Image[0x100];
    Stage(S.Protocol, Image, 0, sizeof Image);
    const UINT8 NoAddress[16] = {};
    Command(S.Protocol, 2, NoAddress, sizeof Image);
    const UINTN Calls = SmmGetVariableCalls;
    CheckStatus(CallS5Handler(), EFI_SUCCESS, "S5 entry with a capsule, no SMM runtime-services table");
    Check(SmmGetVariableCalls > Calls && SmmRuntimeGetVariableCalls == 0,
          "the presence test used the SMM variable protocol, not the boot-time services");
    Log.End();
    RtcAlarmOff();
  }
  Env.Leave();
  DeleteCapsuleVariables();

  // A refused S4 registration: the entry fails with that status and installs nothing; the S5
  // registration is withdrawn; the heap-record list of the first image is taken over.
  S = StartCapsuleDriver(Env, {.RefuseSxRegistration = 2});
  CheckStatus(S.Run.StartStatus, EFI_OUT_OF_RESOURCES, "MediaCapsuleSmm with the S4 registration refused");
  Check(S.Protocol == nullptr, "no protocol installed after the refused registration");
  Log.End();
  Check(SxRegistrationCount >= 1 && !SxRegistrations[0].Active, "the S5 registration is withdrawn");
  Log.End();
  EFI_HANDLE *Handles = nullptr;
  UINTN Count = 0;
  Bs->LocateHandleBuffer(ByProtocol, &gHeapRecordListProtocolGuid, nullptr, &Count, &Handles);
  CheckValue(Count, 1, "HEAP_RECORD_LIST_PROTOCOL still installed once (taken over, not installed again)");
  if (Handles) Bs->FreePool(Handles);
  Env.Leave();
}
