// Four-digit fault codes shown after "Fault code:" by the operation that
// detects the fault, and the two shared text constants of the same unit.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>

namespace ostrel {

namespace FaultCode {
// Packet protocol.
inline constexpr std::string_view k0000 = "0000";
// Discovery and identification.
inline constexpr std::string_view k0001 = "0001";
inline constexpr std::string_view k0003 = "0003";
// Package, S-record and binary loading (0019 also quality control).
inline constexpr std::string_view k0010 = "0010";
inline constexpr std::string_view k0011 = "0011";
inline constexpr std::string_view k0012 = "0012";
inline constexpr std::string_view k0013 = "0013";
inline constexpr std::string_view k0014 = "0014";
inline constexpr std::string_view k0015 = "0015";
inline constexpr std::string_view k0016 = "0016";
inline constexpr std::string_view k0017 = "0017";
// A file that asks for more than the system holds: S-record data beyond the
// largest cartridge or cut short, or more entries than the loaded catalogue
// has room for. Not one of the fixed table's codes, so not in kAll.
inline constexpr std::string_view k0018 = "0018";
inline constexpr std::string_view k0019 = "0019";
// Installation (0021 also the FAT reader).
inline constexpr std::string_view k0020 = "0020";
inline constexpr std::string_view k0021 = "0021";
// Sector commands.
inline constexpr std::string_view k0030 = "0030";
inline constexpr std::string_view k0031 = "0031";
inline constexpr std::string_view k0032 = "0032";
inline constexpr std::string_view k0055 = "0055";
inline constexpr std::string_view k0056 = "0056";
inline constexpr std::string_view k0057 = "0057";
inline constexpr std::string_view k0090 = "0090";
// Program, verify, read-back and check sequences.
inline constexpr std::string_view k0050 = "0050";
inline constexpr std::string_view k0051 = "0051";
// Program: the plan would erase or write sectors of software that stays on the
// cartridge, so nothing was written. Not one of the fixed table's codes, so
// not in kAll.
inline constexpr std::string_view k0052 = "0052";
inline constexpr std::string_view k0070 = "0070";
inline constexpr std::string_view k0071 = "0071";
// Quality-control routines.
inline constexpr std::string_view k1000 = "1000";
inline constexpr std::string_view k1001 = "1001";
inline constexpr std::string_view k1002 = "1002";
inline constexpr std::string_view k1020 = "1020";
inline constexpr std::string_view k1021 = "1021";

// Every code, in ascending order.
inline constexpr std::array<std::string_view, 30> kAll = {
    k0000, k0001, k0003, k0010, k0011, k0012, k0013, k0014, k0015, k0016,
    k0017, k0019, k0020, k0021, k0030, k0031, k0032, k0050, k0051, k0055,
    k0056, k0057, k0070, k0071, k0090, k1000, k1001, k1002, k1020, k1021,
};
}  // namespace FaultCode

// What a fault code means and what the operator can do about it, in the four
// languages (English, Traditional Chinese, Simplified Chinese, Japanese).
struct FaultExplanation {
  std::string_view code;
  std::array<std::string_view, 4> happened;
  std::array<std::string_view, 4> action;
};
// Every code the program reports, in ascending order.
std::span<const FaultExplanation> faultTable();
// What happened and what to do, in one line in the language; empty for a
// code not in the table.
std::string faultExplanation(std::string_view code, int language);

// Brand text of the base software that always starts at sector 0.
inline constexpr std::string_view kObdiiText = "OBDII";
inline constexpr std::string_view kEmptyText = "";

}  // namespace ostrel
