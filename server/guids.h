// Every identifier of the system, once. The registry scripts and the interface
// definition in resources/ spell the same values as text.
#pragma once

#include <windows.h>

// The class Kelmo7_83.Kelmo.
inline constexpr CLSID CLSID_Kelmo = {0xE187855A, 0x54CC, 0x40CB, {0x85, 0xF7, 0x7B, 0x63, 0x33, 0x09, 0x00, 0xA0}};
// Its ProgID, which the class script spells as text.
inline constexpr wchar_t kKelmoProgId[] = L"Kelmo7_83.Kelmo";
// IKelmo, the host object's dual interface.
inline constexpr IID IID_IKelmo = {0xFBEA52A0, 0x9F81, 0x4C3E, {0xB5, 0xCC, 0x3D, 0x80, 0xAC, 0xA4, 0x50, 0x79}};
// The type library Kelmo7_83, version 1.0.
inline constexpr GUID LIBID_Kelmo7_83 = {0x52535F66, 0x5A21, 0x4216, {0xB1, 0xA4, 0x6A, 0x24, 0x01, 0x80, 0xFF, 0x21}};
inline constexpr WORD kTypeLibMajorVersion = 1;
inline constexpr WORD kTypeLibMinorVersion = 0;
// The server's application identifier.
inline constexpr GUID APPID_Kelmo7 = {0x3DAB7F76, 0x2BB8, 0x4BAE, {0x9D, 0xBE, 0x7A, 0x1E, 0xA0, 0xA1, 0x73, 0x5B}};

// The hosted component and the one interface through which clients reach it.
// clang-format off
inline constexpr CLSID CLSID_HostedComponent = {0xB4D3CD47, 0x571B, 0x11D4, {0x83, 0xAA, 0x00, 0x10, 0xA4, 0xEF, 0x9F, 0x79}};
inline constexpr IID IID_IHostedComponent = {0xB4D3CD49, 0x571B, 0x11D4, {0x83, 0xAA, 0x00, 0x10, 0xA4, 0xEF, 0x9F, 0x79}};
// clang-format on

// Registry-script resources of type "REGISTRY".
inline constexpr WORD kAppIdScriptResource = 100;
inline constexpr WORD kClassScriptResource = 101;
