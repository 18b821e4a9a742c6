// An embedded controller on ports 0x68 (data) and 0x6C (command/status) with ACPI-style
// IBF/OBF status and the 0x88 register protocol: command, selector (bank, bit 7 for a
// write), register, then the value (write) or an answer in the output buffer (read).
//
// Each byte written raises IBF; the controller takes it only BusyPolls status reads later,
// and a byte written while IBF is still up replaces the one not yet taken (counted in
// Overruns), as on the real part. The output register keeps its last byte, so a data read
// with OBF clear returns that byte again.
#pragma once
#include <array>
#include <vector>

#include "../board.h"

namespace sim {

class EmbeddedController : public Device {
 public:
  enum class Mode { Working, Absent, Stuck };
  static constexpr uint16_t DataPort = 0x68, CommandPort = 0x6C;
  static constexpr uint8_t Obf = 0x01, Ibf = 0x02;

  struct Transaction {
    bool Write;
    uint8_t Bank, Register, Value;
    bool operator==(const Transaction &) const = default;
  };

  EmbeddedController() {
    for (auto &Bank : Banks) Bank.fill(0);
  }
  void Attach(Board &B) {
    B.MapIo(DataPort, 1, this);
    B.MapIo(CommandPort, 1, this);
  }

  uint64_t Read(uint64_t Address, unsigned) override {
    if (State == Mode::Absent) return 0xFF;
    if (Address == CommandPort) return ReadStatus();
    ++DataReads;
    if (State == Mode::Working && (Status & Obf)) Status &= ~Obf;
    return Output;
  }

  void Write(uint64_t Address, unsigned, uint64_t Value) override {
    if (State == Mode::Absent) return;
    ++BytesWritten;
    if (State == Mode::Stuck) {
      Status |= Ibf;
      return;
    }
    if (Status & Ibf) ++Overruns;
    Input = static_cast<uint8_t>(Value);
    InputIsCommand = Address == CommandPort;
    Status |= Ibf;
    PollsUntilTaken = BusyPolls;
  }

  uint8_t &Reg(uint8_t Bank, uint8_t Register) { return Banks.at(Bank)[Register]; }

  Mode State = Mode::Working;
  unsigned BusyPolls = 2;    // status reads that still show IBF after a byte is written
  unsigned AnswerPolls = 1;  // status reads before OBF rises for an answer
  uint8_t Output = 0;        // the output register
  std::array<std::array<uint8_t, 256>, 3> Banks;
  std::vector<Transaction> Transactions;  // completed register accesses, in order
  unsigned StatusReads = 0, DataReads = 0, BytesWritten = 0, Overruns = 0;

  // The port, then each register access the byte completed.
  std::string Describe(const Access &A) override {
    std::string Out = A.Address == DataPort ? "EC data" : A.Write ? "EC command" : "EC status";
    for (; Described < Transactions.size(); ++Described) {
      const Transaction &T = Transactions[Described];
      Out += Format("\n      EC %s bank %u register 0x%02X = 0x%02X", T.Write ? "write" : "read ", T.Bank, T.Register,
                    T.Value);
    }
    return Out;
  }

 private:
  enum class Phase { Idle, Selector, Register, Value };
  size_t Described = 0;  // transactions already named by Describe

  uint8_t ReadStatus() {
    ++StatusReads;
    if (State == Mode::Stuck) return Ibf;
    if (Status & Ibf) {
      if (PollsUntilTaken == 0)
        Take();
      else
        --PollsUntilTaken;
    } else if (AnswerPending) {
      if (PollsUntilAnswer == 0) {
        AnswerPending = false;
        Status |= Obf;
      } else {
        --PollsUntilAnswer;
      }
    }
    return Status;
  }

  void Take() {
    Status &= ~Ibf;
    const uint8_t Byte = Input;
    if (InputIsCommand) {
      // A new command abandons any access in progress.
      At = Byte == 0x88 ? Phase::Selector : Phase::Idle;
      return;
    }
    switch (At) {
      case Phase::Idle:
        break;
      case Phase::Selector:
        Selector = Byte;
        At = Phase::Register;
        break;
      case Phase::Register:
        Register = Byte;
        if (Selector & 0x80) {
          At = Phase::Value;
        } else {
          Answer();
          At = Phase::Idle;
        }
        break;
      case Phase::Value:
        if ((Selector & 0x7F) < Banks.size()) Banks[Selector & 0x7F][Register] = Byte;
        Transactions.push_back({true, static_cast<uint8_t>(Selector & 0x7F), Register, Byte});
        At = Phase::Idle;
        break;
    }
  }

  void Answer() {
    Output = Selector < Banks.size() ? Banks[Selector][Register] : 0xFF;
    Transactions.push_back({false, Selector, Register, Output});
    AnswerPending = true;
    PollsUntilAnswer = AnswerPolls;
  }

  uint8_t Status = 0, Input = 0, Selector = 0, Register = 0;
  bool InputIsCommand = false, AnswerPending = false;
  unsigned PollsUntilTaken = 0, PollsUntilAnswer = 0;
  Phase At = Phase::Idle;
};

}  // namespace sim
