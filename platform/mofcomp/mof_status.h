// Result codes and flags of the MOF compiler emulator as HRESULT-typed
// constants. The SDK declares the WBEM codes as enumerators of an unsigned
// enum (and the POSIX layer only a subset of them as macros), so the
// compiler and its tests use these names instead.
#pragma once

#include "platform/win32.h"

namespace kvtr::mof {

constexpr HRESULT Code(unsigned long value) { return static_cast<HRESULT>(static_cast<uint32_t>(value)); }

// Win32 error as HRESULT (FACILITY_WIN32).
constexpr HRESULT FromWin32(DWORD error) {
  return error == 0 ? 0 : Code(0x80070000UL | (error & 0xFFFFUL));
}

namespace status {
inline constexpr HRESULT kNoError = 0;
inline constexpr HRESULT kFalse = 1;

inline constexpr HRESULT kFailed = Code(0x80041001);
inline constexpr HRESULT kNotFound = Code(0x80041002);
inline constexpr HRESULT kInvalidParameter = Code(0x80041008);
inline constexpr HRESULT kNotSupported = Code(0x8004100C);
inline constexpr HRESULT kInvalidSuperclass = Code(0x8004100D);
inline constexpr HRESULT kInvalidNamespace = Code(0x8004100E);
inline constexpr HRESULT kInvalidClass = Code(0x80041010);
inline constexpr HRESULT kAlreadyExists = Code(0x80041019);
inline constexpr HRESULT kClassHasChildren = Code(0x80041025);

inline constexpr HRESULT kExpectedQualifierName = Code(0x80044001);
inline constexpr HRESULT kExpectedSemi = Code(0x80044002);
inline constexpr HRESULT kExpectedOpenBrace = Code(0x80044003);
inline constexpr HRESULT kExpectedCloseBrace = Code(0x80044004);
inline constexpr HRESULT kExpectedCloseBracket = Code(0x80044005);
inline constexpr HRESULT kExpectedCloseParen = Code(0x80044006);
inline constexpr HRESULT kIllegalConstantValue = Code(0x80044007);
inline constexpr HRESULT kExpectedTypeIdentifier = Code(0x80044008);
inline constexpr HRESULT kExpectedOpenParen = Code(0x80044009);
inline constexpr HRESULT kUnrecognizedToken = Code(0x8004400A);
inline constexpr HRESULT kUnrecognizedType = Code(0x8004400B);
inline constexpr HRESULT kExpectedPropertyName = Code(0x8004400C);
inline constexpr HRESULT kTypedefNotSupported = Code(0x8004400D);
inline constexpr HRESULT kInvalidPragma = Code(0x80044012);
inline constexpr HRESULT kInvalidNamespaceSyntax = Code(0x80044013);
inline constexpr HRESULT kExpectedClassName = Code(0x80044014);
inline constexpr HRESULT kTypeMismatch = Code(0x80044015);
inline constexpr HRESULT kExpectedAliasName = Code(0x80044016);
inline constexpr HRESULT kInvalidClassDeclaration = Code(0x80044017);
inline constexpr HRESULT kInvalidInstanceDeclaration = Code(0x80044018);
inline constexpr HRESULT kDuplicateProperty = Code(0x8004401B);
inline constexpr HRESULT kOutOfRange = Code(0x8004401D);
inline constexpr HRESULT kInvalidFile = Code(0x8004401E);
inline constexpr HRESULT kDuplicateQualifier = Code(0x80044021);
inline constexpr HRESULT kExpectedFlavorType = Code(0x80044022);
inline constexpr HRESULT kInvalidDeleteClassSyntax = Code(0x80044031);

inline constexpr HRESULT kNotImplemented = Code(0x80004001);
inline constexpr HRESULT kNoInterface = Code(0x80004002);
inline constexpr HRESULT kPointer = Code(0x80004003);
}  // namespace status

// lPhaseError of WBEM_COMPILE_STATUS_INFO.
enum Phase : LONG { kPhaseNone = 0, kPhaseArgument = 1, kPhaseParse = 2, kPhaseStore = 3 };

// lOptionFlags.
namespace option {
inline constexpr LONG kCheckOnly = 0x1;
inline constexpr LONG kAutoRecover = 0x2;
inline constexpr LONG kWmiCheck = 0x4;
inline constexpr LONG kConsolePrint = 0x8;
inline constexpr LONG kDontAddToList = 0x10;
inline constexpr LONG kSplitFiles = 0x20;
inline constexpr LONG kStoreFile = 0x100;
inline constexpr LONG kAll = kCheckOnly | kAutoRecover | kWmiCheck | kConsolePrint | kDontAddToList | kSplitFiles |
                             kStoreFile;
}  // namespace option

// lClassFlags and lInstanceFlags.
namespace update {
inline constexpr LONG kCreateOrUpdate = 0x0;
inline constexpr LONG kUpdateOnly = 0x1;
inline constexpr LONG kCreateOnly = 0x2;
inline constexpr LONG kSafeMode = 0x20;
inline constexpr LONG kForceMode = 0x40;
}  // namespace update

}  // namespace kvtr::mof
